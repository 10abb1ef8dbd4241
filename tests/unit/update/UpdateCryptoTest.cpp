// The update's primitives against published answers, on every system: the signatures of
// RFC 8032 (7.1) and the digests of FIPS 180-2.
#include "UpdateCrypto.h"

#include <gtest/gtest.h>

#include <string>

using namespace kestrune::update::crypto;

namespace {

std::string bytes(std::string_view hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += char(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    return out;
}

// The DER form the program's keys take: SubjectPublicKeyInfo around the raw key.
std::string der(std::string_view rawHex) {
    return bytes("302a300506032b6570032100") + bytes(rawHex);
}

struct Vector {
    const char* key;
    const char* message;
    const char* signature;
};
constexpr Vector kRfc8032[] = {
    {"d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
     "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
     "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac"
     "18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
};

std::string flipped(std::string text, size_t at) {
    text[at] = char(text[at] ^ 0x01);
    return text;
}

TEST(UpdateCryptoTest, RfcSignaturesVerifyAndEveryChangeIsRefused) {
    for (const Vector& vector : kRfc8032) {
        SCOPED_TRACE(vector.key);
        const std::string key = der(vector.key), message = bytes(vector.message),
                          signature = bytes(vector.signature);
        EXPECT_TRUE(ed25519Verifies(key, message, signature));
        EXPECT_FALSE(ed25519Verifies(key, message + "x", signature)) << "a longer message";
        if (!message.empty()) {
            EXPECT_FALSE(ed25519Verifies(key, flipped(message, 0), signature));
        }
        EXPECT_FALSE(ed25519Verifies(flipped(key, key.size() - 1), message, signature));
        EXPECT_FALSE(ed25519Verifies(key, message, flipped(signature, 5))) << "R changed";
        EXPECT_FALSE(ed25519Verifies(key, message, flipped(signature, 40))) << "S changed";
        EXPECT_FALSE(ed25519Verifies(key, message, signature.substr(0, 63)));
    }
    // Another vector's key does not vouch for this signature.
    EXPECT_FALSE(ed25519Verifies(der(kRfc8032[1].key), "", bytes(kRfc8032[0].signature)));
}

TEST(UpdateCryptoTest, ASignatureWithItsScalarPlusTheGroupOrderIsRefused) {
    // The same signature as the first vector's with S + L: the same point equation holds,
    // but only S below L is a signature (RFC 8032 5.1.7), or signatures could be varied.
    const std::string widened =
        bytes("e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
              "4c8c7872aa064e049dbb3013fbf29380d25bf5f0595bbe24655141438e7a101b");
    EXPECT_FALSE(ed25519Verifies(der(kRfc8032[0].key), "", widened));
}

TEST(UpdateCryptoTest, KeysAreTakenOnlyInTheirWholeEd25519Form) {
    const std::string ed25519 = der(kRfc8032[0].key);
    EXPECT_EQ(examinePublicKey(ed25519), KeyForm::Ed25519);
    // A P-256 key, as `openssl pkey -pubout -outform DER` writes it.
    const std::string p256 = bytes(
        "3059301306072a8648ce3d020106082a8648ce3d03010703420004bcf0fa68ca842c2b9d2804269e1617fc"
        "56b5d6e9a2292b93b7900ea48082548bf78fd46a72a84ef1588608b4d7aea84ccd4d0d75086fb6df65dffc"
        "353eb6e31f");
    EXPECT_EQ(examinePublicKey(p256), KeyForm::OtherKey);
    EXPECT_FALSE(ed25519Verifies(p256, "", bytes(kRfc8032[0].signature)));
    for (const std::string& junk : {std::string("ABC"), ed25519 + "x", ed25519.substr(0, 40),
                                    std::string(), bytes(kRfc8032[0].key)})
        EXPECT_EQ(examinePublicKey(junk), KeyForm::NotAKey) << junk.size() << " bytes";
}

std::string hex(const Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char byte : digest)
        out += {kDigits[byte >> 4], kDigits[byte & 15]};
    return out;
}

TEST(UpdateCryptoTest, Sha256GivesTheKnownAnswersWhateverTheChunks) {
    const struct {
        std::string text;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& known : cases) {
        for (size_t chunk : {size_t(1), size_t(7), size_t(65536)}) {
            Sha256 hash;
            for (size_t at = 0; at < known.text.size(); at += chunk)
                hash.add(known.text.data() + at, std::min(chunk, known.text.size() - at));
            Digest digest{};
            ASSERT_TRUE(hash.finish(digest));
            EXPECT_EQ(hex(digest), known.digest) << known.text.size() << " bytes by " << chunk;
        }
    }
}

} // namespace
