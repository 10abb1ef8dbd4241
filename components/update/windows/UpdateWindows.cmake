# The update component on Windows. Its system part (SHA-256 through CNG, Ed25519 through
# libgcrypt, https through WinHTTP, msiexec) needs no Qt and builds with the engine; the rest
# of the component needs Qt Widgets and builds with the program.
find_library(KESTRUNE_GCRYPT_LIBRARY NAMES libgcrypt.a REQUIRED)
find_library(KESTRUNE_GPG_ERROR_LIBRARY NAMES libgpg-error.a REQUIRED)
find_path(KESTRUNE_GCRYPT_INCLUDE gcrypt.h REQUIRED)

add_library(kestrune_update_crypto STATIC ${CMAKE_CURRENT_LIST_DIR}/../UpdateTransport.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UpdateCrypto.cpp ${CMAKE_CURRENT_LIST_DIR}/UpdateTransport.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MsiInstall.cpp)
target_include_directories(kestrune_update_crypto
    PUBLIC ${CMAKE_CURRENT_LIST_DIR}/.. ${CMAKE_CURRENT_LIST_DIR}
    PRIVATE ${KESTRUNE_GCRYPT_INCLUDE})
# libgcrypt goes into whatever links this, so the component needs no DLL of its own beside it.
target_link_libraries(kestrune_update_crypto PUBLIC bcrypt winhttp advapi32 shell32 ole32
    PRIVATE ${KESTRUNE_GCRYPT_LIBRARY} ${KESTRUNE_GPG_ERROR_LIBRARY} ws2_32)
set_target_properties(kestrune_update_crypto PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)

if(NOT KESTRUNE_QT_WINDOWS)
    return()
endif()
set(here ${CMAKE_CURRENT_LIST_DIR})
add_library(kestrune_update_trust STATIC ${here}/../UpdateFeed.cpp ${here}/../UpdateTrust.cpp
    ${here}/../DebianVersion.cpp ${here}/MachineSettings.cpp ${here}/PackageCheck.cpp)
target_link_libraries(kestrune_update_trust PUBLIC Qt6::Core kestrune_update_crypto
    kestrune_base kestrune_hive)
set_target_properties(kestrune_update_trust PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)

# The installer the dialog starts: the program runs elevated, so it is started directly.
add_executable(kestrune-install-update ${here}/InstallUpdate.cpp)
target_link_libraries(kestrune-install-update PRIVATE kestrune_update_trust)
target_compile_definitions(kestrune-install-update PRIVATE
    KESTRUNE_BUILT_IN_VERSION="${PROJECT_VERSION}")
set_target_properties(kestrune-install-update PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF
    RUNTIME_OUTPUT_DIRECTORY ${KESTRUNE_BIN_DIR})

add_library(kestrune_update_support STATIC ${here}/../UpdateDialog.cpp ${here}/../UpdateLook.cpp
    ${here}/InstallerCommand.cpp)
target_link_libraries(kestrune_update_support PUBLIC kestrune_update_trust Qt6::Widgets
    kestrune_abi)
set_target_properties(kestrune_update_support PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)

add_library(VSKUpdate MODULE ${here}/../VSKUpdate.cpp)
target_link_libraries(VSKUpdate PRIVATE kestrune_update_support)
add_dependencies(VSKUpdate kestrune-install-update)
set_target_properties(VSKUpdate PROPERTIES PREFIX "" SUFFIX ".dll" OUTPUT_NAME VSKUpdate
    LIBRARY_OUTPUT_DIRECTORY ${KESTRUNE_BIN_DIR} AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
# Only what is marked for export leaves the component, as on Linux.
target_link_options(VSKUpdate PRIVATE -Wl,--no-undefined -Wl,--exclude-all-symbols)
