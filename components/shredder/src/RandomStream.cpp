#include "shredengine/RandomStream.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/random.h>

namespace kestrune::engine {

namespace {
// Encrypting from a small source that stays in cache is faster than clearing the output.
constexpr size_t kZeroChunk = 64 * 1024;
const uint8_t kZeros[kZeroChunk] = {};
} // namespace

bool systemRandom(void* buf, size_t length) {
    auto* out = static_cast<uint8_t*>(buf);
    while (length > 0) {
        ssize_t n = getrandom(out, length, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        out += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

RandomStream::RandomStream() : ctx_(EVP_CIPHER_CTX_new()) {}

RandomStream::~RandomStream() {
    OPENSSL_cleanse(key_.data(), key_.size());
    EVP_CIPHER_CTX_free(ctx_);
}

bool RandomStream::rekey() {
    keyed_ = ctx_ && systemRandom(key_.data(), key_.size()) && systemRandom(iv_.data(), iv_.size());
    return keyed_ && restart();
}

bool RandomStream::restart() {
    if (!keyed_)
        return false;
    return EVP_EncryptInit_ex(ctx_, EVP_aes_256_ctr(), nullptr, key_.data(), iv_.data()) == 1;
}

bool RandomStream::fill(uint8_t* out, size_t length) {
    if (!keyed_)
        return false;
    while (length > 0) {
        size_t chunk = length < kZeroChunk ? length : kZeroChunk;
        int written = 0;
        if (EVP_EncryptUpdate(ctx_, out, &written, kZeros, static_cast<int>(chunk)) != 1 ||
            static_cast<size_t>(written) != chunk)
            return false;
        out += chunk;
        length -= chunk;
    }
    return true;
}

} // namespace kestrune::engine
