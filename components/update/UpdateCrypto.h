// The two primitives the update's trust rests on, from the system's own libraries: the
// SHA-256 of a package and the Ed25519 signature of a feed. No toolkit, so that the checks
// build and run alone on every system.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string_view>

namespace kestrune::update::crypto {

enum class KeyForm { Ed25519, OtherKey, NotAKey };
// What the DER SubjectPublicKeyInfo in der holds; trailing bytes make it NotAKey.
KeyForm examinePublicKey(std::string_view der);

// True when signature is an Ed25519 signature of message by key (DER as above); false for
// anything else, a key that is not Ed25519 included.
bool ed25519Verifies(std::string_view der, std::string_view message, std::string_view signature);

using Digest = std::array<unsigned char, 32>;

#ifdef _WIN32
struct CngCalls;
#endif

class Sha256 {
public:
    Sha256();
#ifdef _WIN32
    explicit Sha256(const CngCalls& calls);
#endif
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void add(const void* data, size_t size);
    // False when the system could not compute it.
    bool finish(Digest& digest);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace kestrune::update::crypto
