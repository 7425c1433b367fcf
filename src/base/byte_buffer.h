#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

namespace brindell {

// A block of bytes of fixed capacity, mapped from the system on its own and
// returned to it once, when the buffer is destroyed. Requests and files of
// several MiB pass through such buffers: a fresh page of memory costs more to
// fault in than the copy that fills it, so the bytes are never zero-filled
// first, and whole 2-MiB blocks that the owner knows it will fill can be
// asked for as one huge page each. Pages beyond what is written are never
// touched and cost no memory.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  // Maps `capacity` bytes (0 maps nothing). Throws std::bad_alloc when the
  // system refuses the mapping.
  explicit ByteBuffer(std::size_t capacity);
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&& other) noexcept
      : mapping_(std::exchange(other.mapping_, nullptr)),
        data_(std::exchange(other.data_, nullptr)),
        mapped_(std::exchange(other.mapped_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        size_(std::exchange(other.size_, 0)) {}
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
      release();
      mapping_ = std::exchange(other.mapping_, nullptr);
      data_ = std::exchange(other.data_, nullptr);
      mapped_ = std::exchange(other.mapped_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ~ByteBuffer() { release(); }

  char* data() { return data_; }
  const char* data() const { return data_; }
  std::size_t capacity() const { return capacity_; }
  // The bytes in use, which the owner sets as it fills the buffer.
  std::size_t size() const { return size_; }
  void setSize(std::size_t size) { size_ = size; }
  std::string_view view() const { return {data_, size_}; }

  // Asks for each 2-MiB block that begins in [from, to) and lies wholly
  // within the capacity to be one huge page, where the system allows: worth
  // it for a block about to be written in full, since a huge page is
  // resident whole once touched. A block already touched keeps its small
  // pages. Never fails.
  void preferHugePages(std::size_t from, std::size_t to);

  // Makes the capacity at least `capacity`, keeping the bytes in use; their
  // address may change. Throws std::bad_alloc when the system refuses.
  void grow(std::size_t capacity);

 private:
  void release();

  char* mapping_ = nullptr;  // where the mapping of mapped_ bytes starts
  char* data_ = nullptr;
  std::size_t mapped_ = 0;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

}  // namespace brindell
