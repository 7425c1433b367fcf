#include "base/byte_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace brindell {
namespace {

constexpr std::size_t hugePageBytes = std::size_t{2} << 20;

std::size_t roundUp(std::size_t size, std::size_t unit) {
  return (size + unit - 1) / unit * unit;
}

std::size_t pageBytes() {
  static const auto bytes = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return bytes;
}

void* mapAnonymous(std::size_t bytes) {
  void* mapped = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  return mapped;
}

}  // namespace

ByteBuffer::ByteBuffer(std::size_t capacity) : capacity_(capacity) {
  if (capacity == 0) return;
  // A huge page needs a 2-MiB-aligned block: for a buffer that can hold one,
  // one block more is mapped and the buffer starts at the first boundary in
  // it. The slack is never touched, so it costs address space only.
  const std::size_t alignment = capacity >= hugePageBytes ? hugePageBytes : pageBytes();
  mapped_ = roundUp(capacity, pageBytes()) + alignment - pageBytes();
  mapping_ = static_cast<char*>(mapAnonymous(mapped_));
  const auto address = reinterpret_cast<std::uintptr_t>(mapping_);
  data_ = mapping_ + (roundUp(address, alignment) - address);
}

void ByteBuffer::preferHugePages(std::size_t from, std::size_t to) {
  // The mapping of a buffer this large starts on a block boundary.
  if (capacity_ < hugePageBytes) return;
  const std::size_t first = roundUp(from, hugePageBytes);
  const std::size_t end =
      std::min(roundUp(to, hugePageBytes), capacity_ / hugePageBytes * hugePageBytes);
  // Without huge pages the buffer works all the same.
  if (first < end) ::madvise(data_ + first, end - first, MADV_HUGEPAGE);
}

void ByteBuffer::grow(std::size_t capacity) {
  if (capacity <= capacity_) return;
  ByteBuffer larger(capacity);
  if (size_ != 0) std::memcpy(larger.data_, data_, size_);
  larger.size_ = size_;
  *this = std::move(larger);
}

void ByteBuffer::release() {
  if (mapping_ != nullptr) ::munmap(std::exchange(mapping_, nullptr), mapped_);
  data_ = nullptr;
  mapped_ = capacity_ = size_ = 0;
}

}  // namespace brindell
