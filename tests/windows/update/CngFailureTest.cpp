// A SHA-256 that CNG could not compute is no digest: the package then counts as unreadable.
#include "CngCalls.h"
#include "UpdateCrypto.h"

#include <gtest/gtest.h>

using namespace kestrune::update::crypto;

namespace {

int openHandles = 0;
struct Fake {
    static NTSTATUS WINAPI openAlgorithm(BCRYPT_ALG_HANDLE* handle, LPCWSTR, LPCWSTR, ULONG) {
        *handle = reinterpret_cast<BCRYPT_ALG_HANDLE>(1);
        ++openHandles;
        return 0;
    }
    static NTSTATUS WINAPI noAlgorithm(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG) {
        return NTSTATUS(0xC0000225); // STATUS_NOT_FOUND
    }
    static NTSTATUS WINAPI createHash(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE* hash, PUCHAR, ULONG,
                                      PUCHAR, ULONG, ULONG) {
        *hash = reinterpret_cast<BCRYPT_HASH_HANDLE>(2);
        ++openHandles;
        return 0;
    }
    static NTSTATUS WINAPI hashFails(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG) {
        return NTSTATUS(0xC000000D); // STATUS_INVALID_PARAMETER
    }
    static NTSTATUS WINAPI finishHash(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG) { return 0; }
    static NTSTATUS WINAPI destroyHash(BCRYPT_HASH_HANDLE) {
        --openHandles;
        return 0;
    }
    static NTSTATUS WINAPI closeAlgorithm(BCRYPT_ALG_HANDLE, ULONG) {
        --openHandles;
        return 0;
    }
};

TEST(CngFailureTest, AHashCngCouldNotComputeIsNoDigest) {
    const CngCalls missing{&Fake::noAlgorithm, &Fake::createHash,  &Fake::hashFails,
                           &Fake::finishHash,  &Fake::destroyHash, &Fake::closeAlgorithm};
    const CngCalls failing{&Fake::openAlgorithm, &Fake::createHash,  &Fake::hashFails,
                           &Fake::finishHash,    &Fake::destroyHash, &Fake::closeAlgorithm};
    for (const CngCalls* calls : {&missing, &failing}) {
        Digest digest{};
        {
            Sha256 hash(*calls);
            hash.add("abc", 3);
            EXPECT_FALSE(hash.finish(digest));
        }
        EXPECT_EQ(openHandles, 0);
    }
}

} // namespace
