# The window for Windows: the same layers as on Linux, with the Windows half of the platform
# layer (src/platform/windows) and of the base (base/windows). Qt and the compiler's runtime
# are shared libraries beside the program, as Qt for Windows is built.
set(CMAKE_AUTOMOC ON)
set(CMAKE_AUTOUIC ON)
set(CMAKE_AUTORCC ON)
include(${CMAKE_CURRENT_LIST_DIR}/KestruneLayers.cmake)

kestrune_layer_sources(KESTRUNE_PLATFORM_SOURCES platform platform/windows)
add_library(kestrune_platform STATIC ${KESTRUNE_PLATFORM_SOURCES})
kestrune_include_root(kestrune_platform PUBLIC platform)
target_link_libraries(kestrune_platform
    PUBLIC Qt6::Core kestrune_abi kestrune_base kestrune_hive kestrune_disknumbers
    PRIVATE kestrune_blockio setupapi cfgmgr32 winhttp ole32 oleaut32 shell32 shlwapi uuid
            advapi32 version user32 secur32 netapi32 Threads::Threads)

# The signatures are OpenSSL's on both systems (script/openssl-windows builds its libcrypto).
set(KESTRUNE_OPENSSL_WINDOWS "" CACHE PATH "OpenSSL's libcrypto for Windows, as script/openssl-windows builds it")
if(NOT KESTRUNE_OPENSSL_WINDOWS)
    message(FATAL_ERROR "The program for Windows needs KESTRUNE_OPENSSL_WINDOWS (script/openssl-windows)")
endif()
add_library(kestrune_openssl_crypto STATIC IMPORTED)
set_target_properties(kestrune_openssl_crypto PROPERTIES
    IMPORTED_LOCATION ${KESTRUNE_OPENSSL_WINDOWS}/lib/libcrypto.a
    INTERFACE_INCLUDE_DIRECTORIES ${KESTRUNE_OPENSSL_WINDOWS}/include
    INTERFACE_LINK_LIBRARIES "ws2_32;crypt32;bcrypt;advapi32;user32")

kestrune_layer_sources(KESTRUNE_CORE_SOURCES app devices shred lang update window)
add_library(kestrune_core STATIC ${KESTRUNE_CORE_SOURCES})
kestrune_include_root(kestrune_core PUBLIC app devices shred lang update window)
target_link_libraries(kestrune_core PUBLIC kestrune_platform Qt6::Gui kestrune_openssl_crypto
    Threads::Threads)
# The program's application id (AppUserModelID), which its taskbar button and notices carry.
target_compile_definitions(kestrune_core PRIVATE OPENSSL_NO_FILENAMES
    KESTRUNE_DESKTOP_ID="VaskorSecurity.Kestrune")

kestrune_layer_sources(KESTRUNE_WIDGETS_SOURCES ui controls)
add_library(kestrune_widgets STATIC ${KESTRUNE_WIDGETS_SOURCES} ${CMAKE_SOURCE_DIR}/res/resources.qrc)
set_target_properties(kestrune_widgets PROPERTIES AUTORCC_OPTIONS "--format-version;1;--no-zstd")
kestrune_include_root(kestrune_widgets PUBLIC ui controls)
target_link_libraries(kestrune_widgets PUBLIC kestrune_core Qt6::Widgets)

# The version is the VERSIONINFO resource every Windows tool reads.
configure_file(${CMAKE_SOURCE_DIR}/src/kestrune/windows/kestrune.rc.in
               ${CMAKE_BINARY_DIR}/generated/kestrune.rc @ONLY)

add_library(kestrune_window STATIC ${CMAKE_SOURCE_DIR}/src/kestrune/CVSKKestruneApp.cpp
    ${CMAKE_SOURCE_DIR}/src/kestrune/WindowStart.cpp)
kestrune_include_root(kestrune_window PUBLIC kestrune)
target_link_libraries(kestrune_window PUBLIC kestrune_widgets)
add_executable(kestrune WIN32 ${CMAKE_SOURCE_DIR}/src/kestrune/main.cpp
    ${CMAKE_BINARY_DIR}/generated/kestrune.rc)
target_link_libraries(kestrune PRIVATE kestrune_window)

# Qt's libraries and plugins and the compiler's runtime beside the program, as the
# installed program has them, so that Wine runs the build folder's program as it is.
set(KESTRUNE_WINDOWS_RUNTIME_DLLS
    ${KESTRUNE_QT_WINDOWS}/bin/Qt6Core.dll ${KESTRUNE_QT_WINDOWS}/bin/Qt6Gui.dll
    ${KESTRUNE_QT_WINDOWS}/bin/Qt6Widgets.dll ${KESTRUNE_QT_WINDOWS}/bin/Qt6Test.dll)
foreach(library libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${library}
                    OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${found}")
        message(FATAL_ERROR "The compiler's ${library} is not there")
    endif()
    list(APPEND KESTRUNE_WINDOWS_RUNTIME_DLLS ${found})
endforeach()
set(KESTRUNE_WINDOWS_PLUGINS platforms/qwindows.dll platforms/qminimal.dll
    styles/qwindowsvistastyle.dll imageformats/qgif.dll imageformats/qjpeg.dll
    imageformats/qico.dll)
set(copies "")
foreach(library IN LISTS KESTRUNE_WINDOWS_RUNTIME_DLLS)
    get_filename_component(name ${library} NAME)
    list(APPEND copies COMMAND ${CMAKE_COMMAND} -E copy_if_different ${library} ${KESTRUNE_BIN_DIR}/${name})
endforeach()
foreach(plugin IN LISTS KESTRUNE_WINDOWS_PLUGINS)
    get_filename_component(folder ${plugin} DIRECTORY)
    list(APPEND copies COMMAND ${CMAKE_COMMAND} -E make_directory ${KESTRUNE_BIN_DIR}/${folder}
         COMMAND ${CMAKE_COMMAND} -E copy_if_different ${KESTRUNE_QT_WINDOWS}/plugins/${plugin}
                 ${KESTRUNE_BIN_DIR}/${plugin})
endforeach()
add_custom_target(kestrune_windows_runtime ALL ${copies} VERBATIM)
add_dependencies(kestrune kestrune_windows_runtime)

# The Windows half of the platform layer, tested under Wine.
file(GLOB KESTRUNE_WINDOWS_PLATFORM_TESTS CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/tests/windows/platform/*.cpp)
if(KESTRUNE_WINDOWS_PLATFORM_TESTS)
    # The disks they format are played through the Win32 calls, as the engine's tests play theirs.
    add_executable(tests_platform_windows ${KESTRUNE_WINDOWS_PLATFORM_TESTS}
        ${CMAKE_SOURCE_DIR}/tests/windows/FakeWin32.cpp)
    target_link_libraries(tests_platform_windows PRIVATE kestrune_platform Qt6::Test gtest)
    # Each file plays its own Windows under the same names: built one by one.
    set_target_properties(tests_platform_windows PROPERTIES UNITY_BUILD OFF)
    # The engine is the component its module and version tests load and read.
    add_dependencies(tests_platform_windows kestrune_windows_runtime VSKRemovableShredder)
    gtest_discover_tests(tests_platform_windows DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 300)
endif()

# The window's whole flow, run by script/test-windows on a display of its own.
# It carries the program's version resource, which the window reads from its own file.
add_executable(tests_window_windows ${CMAKE_SOURCE_DIR}/tests/windows/window/WindowFlowTest.cpp
    ${CMAKE_BINARY_DIR}/generated/kestrune.rc)
target_link_libraries(tests_window_windows PRIVATE kestrune_widgets Qt6::Test gtest)
add_dependencies(tests_window_windows kestrune_windows_runtime VSKRemovableShredder)
