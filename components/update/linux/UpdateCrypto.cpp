#include "UpdateCrypto.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace kestrune::update::crypto {
namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

Key readKey(std::string_view der, bool* whole) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
    const unsigned char* end = bytes;
    Key key(d2i_PUBKEY(nullptr, &end, long(der.size())));
    *whole = key && end == bytes + der.size();
    return key;
}

} // namespace

KeyForm examinePublicKey(std::string_view der) {
    bool whole = false;
    const Key key = readKey(der, &whole);
    if (!whole)
        return KeyForm::NotAKey;
    return EVP_PKEY_is_a(key.get(), "ED25519") ? KeyForm::Ed25519 : KeyForm::OtherKey;
}

bool ed25519Verifies(std::string_view der, std::string_view message, std::string_view signature) {
    bool whole = false;
    const Key key = readKey(der, &whole);
    if (!whole || !EVP_PKEY_is_a(key.get(), "ED25519"))
        return false;
    std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(),
                            reinterpret_cast<const unsigned char*>(message.data()),
                            message.size()) == 1;
}

struct Sha256::State {
    std::unique_ptr<EVP_MD_CTX, ContextFree> context{EVP_MD_CTX_new()};
    bool ok = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}
Sha256::~Sha256() = default;

void Sha256::add(const void* data, size_t size) {
    state_->ok = state_->ok && EVP_DigestUpdate(state_->context.get(), data, size) == 1;
}

bool Sha256::finish(Digest& digest) {
    unsigned int length = 0;
    return state_->ok && EVP_DigestFinal_ex(state_->context.get(), digest.data(), &length) == 1 &&
           length == digest.size();
}

} // namespace kestrune::update::crypto
