#include "UpdateCrypto.h"

#include "CngCalls.h"

#include <gcrypt.h>

#include <algorithm>

namespace kestrune::update::crypto {
namespace {

constexpr unsigned char kSequence = 0x30, kObjectId = 0x06, kBitString = 0x03;
// 1.3.101.112, the identifier of Ed25519 keys.
constexpr std::string_view kEd25519Id{"\x2b\x65\x70", 3};
constexpr size_t kKeyBytes = 32, kSignatureBytes = 64;

// One DER element at pos: its tag and contents; false when it is not well formed.
bool readElement(std::string_view der, size_t& pos, unsigned char& tag,
                 std::string_view& contents) {
    if (der.size() - pos < 2)
        return false;
    tag = static_cast<unsigned char>(der[pos++]);
    size_t length = static_cast<unsigned char>(der[pos++]);
    if (length & 0x80) {
        const size_t count = length & 0x7f;
        // A key never needs more than two length bytes; DER forbids a longer form than needed.
        if (count == 0 || count > 2 || der.size() - pos < count)
            return false;
        length = 0;
        for (size_t i = 0; i < count; ++i)
            length = length << 8 | static_cast<unsigned char>(der[pos++]);
        if (length < 0x80)
            return false;
    }
    if (der.size() - pos < length)
        return false;
    contents = der.substr(pos, length);
    pos += length;
    return true;
}

// The 32 bytes of an Ed25519 key; empty for any other form.
std::string_view ed25519Point(std::string_view der, KeyForm* form) {
    *form = KeyForm::NotAKey;
    size_t pos = 0;
    unsigned char tag = 0;
    std::string_view info, algorithm, key, oid;
    if (!readElement(der, pos, tag, info) || tag != kSequence || pos != der.size())
        return {};
    pos = 0;
    if (!readElement(info, pos, tag, algorithm) || tag != kSequence ||
        !readElement(info, pos, tag, key) || tag != kBitString || pos != info.size())
        return {};
    size_t inner = 0;
    if (!readElement(algorithm, inner, tag, oid) || tag != kObjectId || oid.empty())
        return {};
    if (oid != kEd25519Id) {
        *form = KeyForm::OtherKey;
        return {};
    }
    // No parameters, and the key a whole number of bytes.
    if (inner != algorithm.size() || key.size() != kKeyBytes + 1 || key[0] != 0)
        return {};
    *form = KeyForm::Ed25519;
    return key.substr(1);
}

bool gcryptReady() {
    static const bool ready = [] {
        if (!gcry_check_version(GCRYPT_VERSION))
            return false;
        // Verifying handles no secrets: no locked memory to ask the system for.
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    return ready;
}

struct SexpFree {
    void operator()(gcry_sexp_t sexp) const { gcry_sexp_release(sexp); }
};
using Sexp = std::unique_ptr<gcry_sexp, SexpFree>;

Sexp build(const char* format, auto... arguments) {
    gcry_sexp_t sexp = nullptr;
    return gcry_sexp_build(&sexp, nullptr, format, arguments...) == 0 ? Sexp(sexp) : nullptr;
}

// S is below the group order L (RFC 8032 5.1.7): compared as little-endian numbers.
bool scalarIsReduced(std::string_view s) {
    static constexpr unsigned char kOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58,
                                                 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
                                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};
    for (size_t i = 32; i-- > 0;) {
        const auto byte = static_cast<unsigned char>(s[i]);
        if (byte != kOrder[i])
            return byte < kOrder[i];
    }
    return false;
}

} // namespace

KeyForm examinePublicKey(std::string_view der) {
    KeyForm form = KeyForm::NotAKey;
    ed25519Point(der, &form);
    return form;
}

bool ed25519Verifies(std::string_view der, std::string_view message, std::string_view signature) {
    KeyForm form = KeyForm::NotAKey;
    const std::string_view point = ed25519Point(der, &form);
    if (form != KeyForm::Ed25519 || signature.size() != kSignatureBytes ||
        !scalarIsReduced(signature.substr(32)) || !gcryptReady())
        return false;
    const Sexp key = build("(public-key(ecc(curve Ed25519)(flags eddsa)(q %b)))", int(point.size()),
                           point.data());
    const Sexp value =
        build("(sig-val(eddsa(r %b)(s %b)))", 32, signature.data(), 32, signature.data() + 32);
    const Sexp data = build("(data(flags eddsa)(hash-algo sha512)(value %b))", int(message.size()),
                            message.data());
    return key && value && data && gcry_pk_verify(value.get(), data.get(), key.get()) == 0;
}

const CngCalls& systemCngCalls() {
    static const CngCalls calls{&::BCryptOpenAlgorithmProvider,
                                &::BCryptCreateHash,
                                &::BCryptHashData,
                                &::BCryptFinishHash,
                                &::BCryptDestroyHash,
                                &::BCryptCloseAlgorithmProvider};
    return calls;
}

struct Sha256::State {
    const CngCalls& calls;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = false;

    explicit State(const CngCalls& table) : calls(table) {
        ok = BCRYPT_SUCCESS(calls.openAlgorithm(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0));
        if (!ok)
            algorithm = nullptr;
        ok = ok && BCRYPT_SUCCESS(calls.createHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
        if (!ok)
            hash = nullptr;
    }
    ~State() {
        if (hash)
            calls.destroyHash(hash);
        if (algorithm)
            calls.closeAlgorithm(algorithm, 0);
    }
};

Sha256::Sha256() : Sha256(systemCngCalls()) {}
Sha256::Sha256(const CngCalls& calls) : state_(std::make_unique<State>(calls)) {}
Sha256::~Sha256() = default;

void Sha256::add(const void* data, size_t size) {
    auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    while (state_->ok && size > 0) {
        const auto chunk = static_cast<ULONG>(std::min<size_t>(size, 1u << 30));
        state_->ok = BCRYPT_SUCCESS(state_->calls.hashData(state_->hash, bytes, chunk, 0));
        bytes += chunk;
        size -= chunk;
    }
}

bool Sha256::finish(Digest& digest) {
    return state_->ok && BCRYPT_SUCCESS(state_->calls.finishHash(state_->hash, digest.data(),
                                                                 ULONG(digest.size()), 0));
}

} // namespace kestrune::update::crypto
