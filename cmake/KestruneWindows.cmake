# The Windows build (mingw-w64, cmake/MingwW64.cmake): the shred engine and its tests,
# which run through the cross-compiling emulator (Wine) under ctest.
find_package(Threads REQUIRED)
enable_testing()
include(GoogleTest)

# GoogleTest from Debian's source package, built with the same compiler, before our own
# warning flags: they are for our code.
set(KESTRUNE_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${KESTRUNE_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wno-missing-field-initializers)
if(KESTRUNE_WERROR)
    add_compile_options(-Werror)
endif()
# A component or a test program stands alone on a Windows machine: the compiler's runtime
# (libstdc++, libgcc, winpthreads) goes into it.
add_link_options(-static)

add_subdirectory(base)
add_subdirectory(components/shredder)

# The program's whole-disk format: its steps in plain types, through the base's block I/O and
# FAT writer (the platform layer's formatWholeDisk wraps them in its Qt types).
add_library(kestrune_windows_format STATIC
    src/platform/windows/FormatCalls.cpp src/platform/windows/DriveDevice.cpp
    src/platform/windows/WholeDiskFormat.cpp)
target_include_directories(kestrune_windows_format PUBLIC ${CMAKE_SOURCE_DIR}/src/platform/windows)
target_link_libraries(kestrune_windows_format PUBLIC kestrune_blockio)

add_subdirectory(tests/windows)
