# The Windows build (mingw-w64, cmake/MingwW64.cmake): the shred engine, the language
# component and the language files, and their tests, which run through the cross-compiling
# emulator (Wine) under ctest.
find_package(Threads REQUIRED)
enable_testing()
include(GoogleTest)

# GoogleTest from Debian's source package, built with the same compiler, before our own
# warning flags: they are for our code.
set(KESTRUNE_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${KESTRUNE_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# A release at -O2, as Debian builds: mingw's GCC 12 warns falsely at -O3 (-Wrestrict on a
# literal prefixed to a string).
string(REPLACE "-O3" "-O2" CMAKE_C_FLAGS_RELEASE "${CMAKE_C_FLAGS_RELEASE}")
string(REPLACE "-O3" "-O2" CMAKE_CXX_FLAGS_RELEASE "${CMAKE_CXX_FLAGS_RELEASE}")
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wno-missing-field-initializers)
if(KESTRUNE_WERROR)
    add_compile_options(-Werror)
endif()
# With a Qt for Windows (script/qt-windows) the whole program builds; without, the engine.
set(KESTRUNE_QT_WINDOWS "" CACHE PATH "A Qt for Windows, as script/qt-windows builds it")
# The folders of a Qt found before stay in the cache; another Qt must be searched afresh, or
# the program would still build against the old one.
if(NOT KESTRUNE_QT_WINDOWS STREQUAL KESTRUNE_QT_WINDOWS_SEARCHED)
    get_cmake_property(cached CACHE_VARIABLES)
    foreach(name IN LISTS cached)
        if(name MATCHES "^Qt6[A-Za-z]*_DIR$")
            unset(${name} CACHE)
        endif()
    endforeach()
    set(KESTRUNE_QT_WINDOWS_SEARCHED "${KESTRUNE_QT_WINDOWS}" CACHE INTERNAL "")
endif()
if(KESTRUNE_QT_WINDOWS)
    list(APPEND CMAKE_FIND_ROOT_PATH ${KESTRUNE_QT_WINDOWS})
    list(APPEND CMAKE_PREFIX_PATH ${KESTRUNE_QT_WINDOWS})
    # Its moc, rcc and uic are the host's own, of the same version.
    set(QT_HOST_PATH /usr)
    set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
    find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets Test)
endif()

add_subdirectory(base)
add_subdirectory(components/shredder)
add_subdirectory(components/language)
add_subdirectory(components/language_files)

# Without Qt, the steps of the program's whole-disk format that need none (plain types, the
# base's block I/O and FAT writer) build and are tested alone; with Qt they are part of the
# platform layer and its tests.
if(NOT KESTRUNE_QT_WINDOWS)
    add_library(kestrune_windows_format STATIC
        src/platform/windows/FormatCalls.cpp src/platform/windows/DriveDevice.cpp
        src/platform/windows/WholeDiskFormat.cpp)
    target_include_directories(kestrune_windows_format PUBLIC ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(kestrune_windows_format PUBLIC kestrune_blockio)
endif()

add_subdirectory(components/update)
add_subdirectory(tests/windows)
if(KESTRUNE_QT_WINDOWS)
    include(${CMAKE_CURRENT_LIST_DIR}/KestruneWindowsProgram.cmake)
endif()
