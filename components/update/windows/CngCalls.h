// The CNG calls of the update's SHA-256, as a table: the system's by default, a test's own
// where it answers as Windows documents.
#pragma once

#include <windows.h>

#include <bcrypt.h>

namespace kestrune::update::crypto {

struct CngCalls {
    NTSTATUS(WINAPI* openAlgorithm)(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG);
    NTSTATUS(WINAPI* createHash)
    (BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG);
    NTSTATUS(WINAPI* hashData)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
    NTSTATUS(WINAPI* finishHash)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
    NTSTATUS(WINAPI* destroyHash)(BCRYPT_HASH_HANDLE);
    NTSTATUS(WINAPI* closeAlgorithm)(BCRYPT_ALG_HANDLE, ULONG);
};
const CngCalls& systemCngCalls();

} // namespace kestrune::update::crypto
