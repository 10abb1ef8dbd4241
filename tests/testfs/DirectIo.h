#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <sys/types.h>

namespace kestrune::test {

inline constexpr std::uint64_t KiB = 1024;
inline constexpr std::uint64_t MiB = 1024 * KiB;

// A file descriptor closed with its owner.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor();
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor& operator=(Descriptor&& other) noexcept;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// A buffer O_DIRECT accepts, filled with a pattern that differs per seed.
class AlignedBlock {
public:
    explicit AlignedBlock(std::size_t size);
    static AlignedBlock pattern(std::size_t size, unsigned seed);

    char* data() { return data_.get(); }
    const char* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    bool isZero() const;
    // The bytes [from, from + length) equal those of other starting at otherFrom.
    bool sameAs(const AlignedBlock& other, std::size_t from = 0, std::size_t otherFrom = 0,
                std::size_t length = SIZE_MAX) const;

private:
    struct Free {
        void operator()(char* p) const;
    };
    std::unique_ptr<char, Free> data_;
    std::size_t size_;
};

Descriptor openDirect(const QString& path, int flags = O_RDWR);
Descriptor openBuffered(const QString& path, int flags = O_RDWR);

// The whole block at the offset, or -1 with errno.
ssize_t writeAt(const Descriptor& fd, const AlignedBlock& block, off_t offset);
ssize_t readAt(const Descriptor& fd, AlignedBlock& block, off_t offset);

QString lastError();

} // namespace kestrune::test
