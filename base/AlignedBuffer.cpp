#include "base/BlockDevice.h"

#include <new>

namespace kestrune::blockio {

namespace {
constexpr std::align_val_t kAlignment{4096};
} // namespace

AlignedBuffer::AlignedBuffer(size_t size)
    : data_(static_cast<uint8_t*>(::operator new(size, kAlignment, std::nothrow))),
      size_(data_ ? size : 0) {}

AlignedBuffer::~AlignedBuffer() {
    if (data_)
        ::operator delete(data_, kAlignment);
}

} // namespace kestrune::blockio
