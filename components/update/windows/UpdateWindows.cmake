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
