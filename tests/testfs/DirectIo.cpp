#include "DirectIo.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <unistd.h>
#include <utility>

namespace kestrune::test {

namespace {
constexpr std::size_t alignment = 4096;
}

Descriptor::~Descriptor() {
    if (fd_ >= 0)
        ::close(fd_);
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void AlignedBlock::Free::operator()(char* p) const {
    std::free(p);
}

AlignedBlock::AlignedBlock(std::size_t size)
    : data_(static_cast<char*>(
          std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment))),
      size_(size) {
    if (!data_)
        throw std::bad_alloc();
    std::memset(data_.get(), 0, size);
}

AlignedBlock AlignedBlock::pattern(std::size_t size, unsigned seed) {
    AlignedBlock block(size);
    for (std::size_t i = 0; i < size; ++i)
        block.data()[i] = static_cast<char>((i * 31 + seed * 97 + (i >> 12) + 1) % 251 + 1);
    return block;
}

bool AlignedBlock::isZero() const {
    return std::all_of(data(), data() + size_, [](char c) { return c == 0; });
}

bool AlignedBlock::sameAs(const AlignedBlock& other, std::size_t from, std::size_t otherFrom,
                          std::size_t length) const {
    if (length == SIZE_MAX)
        length = size_ - from;
    if (from + length > size_ || otherFrom + length > other.size_)
        return false;
    return std::memcmp(data() + from, other.data() + otherFrom, length) == 0;
}

Descriptor openDirect(const QString& path, int flags) {
    return Descriptor(::open(path.toLocal8Bit().constData(), flags | O_DIRECT | O_CLOEXEC));
}

Descriptor openBuffered(const QString& path, int flags) {
    return Descriptor(::open(path.toLocal8Bit().constData(), flags | O_CLOEXEC));
}

ssize_t writeAt(const Descriptor& fd, const AlignedBlock& block, off_t offset) {
    return ::pwrite(fd.get(), block.data(), block.size(), offset);
}

ssize_t readAt(const Descriptor& fd, AlignedBlock& block, off_t offset) {
    return ::pread(fd.get(), block.data(), block.size(), offset);
}

QString lastError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace kestrune::test
