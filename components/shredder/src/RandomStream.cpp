#include "shredengine/RandomStream.h"

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/random.h>
#include <thread>

namespace kestrune::engine {

namespace {
// Encrypting from a small source that stays in cache is faster than clearing the output.
constexpr size_t kZeroChunk = 64 * 1024;
const uint8_t kZeros[kZeroChunk] = {};
constexpr size_t kCipherBlock = 16;

// The counter block for the given block of the stream: the IV as a 128-bit big-endian
// number plus the block index, as the cipher's own counter advances.
std::array<uint8_t, 16> counterAt(const std::array<uint8_t, 16>& iv, uint64_t block) {
    std::array<uint8_t, 16> counter = iv;
    unsigned carry = 0;
    for (int i = 15; i >= 0; --i) {
        unsigned add = (i >= 8 ? static_cast<unsigned>((block >> ((15 - i) * 8)) & 0xFF) : 0u);
        unsigned sum = counter[static_cast<size_t>(i)] + add + carry;
        counter[static_cast<size_t>(i)] = static_cast<uint8_t>(sum);
        carry = sum >> 8;
    }
    return counter;
}
} // namespace

// One cipher context and where in the stream it stands.
struct RandomStream::Lane {
    Lane() : ctx(EVP_CIPHER_CTX_new()) {}
    ~Lane() { EVP_CIPHER_CTX_free(ctx); }
    Lane(const Lane&) = delete;
    Lane& operator=(const Lane&) = delete;
    EVP_CIPHER_CTX* ctx;
    bool positioned = false;
    uint64_t position = 0;
};

// A thread that fills the second half of long runs.
struct RandomStream::Helper {
    explicit Helper(RandomStream& stream) : owner(stream), thread([this] { loop(); }) {}
    ~Helper() {
        {
            std::lock_guard lock(mutex);
            stop = true;
        }
        changed.notify_all();
        thread.join();
    }
    void start(uint8_t* to, size_t bytes, uint64_t from) {
        {
            std::lock_guard lock(mutex);
            out = to;
            length = bytes;
            position = from;
            pending = true;
            done = false;
        }
        changed.notify_all();
    }
    bool wait() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return done; });
        done = false;
        return ok;
    }
    void loop() {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return stop || pending; });
            if (stop)
                return;
            pending = false;
            lock.unlock();
            bool result = owner.fillLane(*owner.lanes_[1], out, length, position);
            lock.lock();
            ok = result;
            done = true;
            changed.notify_all();
        }
    }

    RandomStream& owner;
    std::mutex mutex;
    std::condition_variable changed;
    uint8_t* out = nullptr;
    size_t length = 0;
    uint64_t position = 0;
    bool pending = false;
    bool done = false;
    bool ok = false;
    bool stop = false;
    std::thread thread; // last: starts once the fields above exist
};

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

RandomStream::RandomStream() {
    lanes_[0] = std::make_unique<Lane>();
    lanes_[1] = std::make_unique<Lane>();
}

RandomStream::~RandomStream() {
    helper_.reset(); // before the lanes it uses
    OPENSSL_cleanse(key_.data(), key_.size());
}

bool RandomStream::rekey() {
    keyed_ = lanes_[0]->ctx && lanes_[1]->ctx && systemRandom(key_.data(), key_.size()) &&
             systemRandom(iv_.data(), iv_.size());
    lanes_[0]->positioned = lanes_[1]->positioned = false;
    return keyed_ && restart();
}

bool RandomStream::restart() {
    if (!keyed_)
        return false;
    position_ = 0;
    return true;
}

bool RandomStream::fillLane(Lane& lane, uint8_t* out, size_t length, uint64_t position) {
    if (!lane.positioned || lane.position != position) {
        std::array<uint8_t, 16> counter = counterAt(iv_, position / kCipherBlock);
        if (EVP_EncryptInit_ex(lane.ctx, EVP_aes_256_ctr(), nullptr, key_.data(), counter.data()) !=
            1)
            return false;
        lane.positioned = true;
        lane.position = position - position % kCipherBlock;
        if (size_t skip = position % kCipherBlock) {
            uint8_t discard[kCipherBlock];
            int written = 0;
            if (EVP_EncryptUpdate(lane.ctx, discard, &written, kZeros, static_cast<int>(skip)) != 1)
                return false;
            lane.position += skip;
        }
    }
    while (length > 0) {
        size_t chunk = length < kZeroChunk ? length : kZeroChunk;
        int written = 0;
        if (EVP_EncryptUpdate(lane.ctx, out, &written, kZeros, static_cast<int>(chunk)) != 1 ||
            static_cast<size_t>(written) != chunk) {
            lane.positioned = false;
            return false;
        }
        out += chunk;
        length -= chunk;
        lane.position += chunk;
    }
    return true;
}

bool RandomStream::fillAt(uint8_t* out, size_t length, uint64_t position) {
    if (!keyed_)
        return false;
    if (length < kSplitThreshold)
        return fillLane(*lanes_[0], out, length, position);
    if (!helper_)
        helper_ = std::make_unique<Helper>(*this);
    const size_t half = (length / 2) & ~(kCipherBlock - 1);
    helper_->start(out + half, length - half, position + half);
    bool first = fillLane(*lanes_[0], out, half, position);
    bool second = helper_->wait();
    return first && second;
}

bool RandomStream::fill(uint8_t* out, size_t length) {
    if (!fillAt(out, length, position_))
        return false;
    position_ += length;
    return true;
}

} // namespace kestrune::engine
