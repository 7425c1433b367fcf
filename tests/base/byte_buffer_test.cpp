#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "base/byte_buffer.h"

namespace brindell::testing {
namespace {

// Every byte of the capacity can be written, the bytes in use survive growth
// and a move, a buffer moved from holds nothing, and one of a huge page or
// more starts on a huge page's boundary, which asking for huge pages needs.
TEST(ByteBuffer, HoldsItsBytesThroughGrowthAndMoves) {
  constexpr std::size_t hugePage = std::size_t{2} << 20;
  for (const std::size_t capacity :
       {std::size_t{1}, std::size_t{4097}, hugePage - 1, hugePage, 5 * hugePage + 3}) {
    ByteBuffer buffer(capacity);
    ASSERT_EQ(buffer.capacity(), capacity);
    if (capacity >= hugePage)
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data()) % hugePage, 0u);
    buffer.preferHugePages(0, capacity);
    std::memset(buffer.data(), 'x', capacity);
    buffer.data()[capacity - 1] = 'y';
    buffer.setSize(capacity);
    const std::string expected = std::string(capacity - 1, 'x') + 'y';
    buffer.grow(capacity + hugePage);
    EXPECT_GE(buffer.capacity(), capacity + hugePage);
    ByteBuffer taken(std::move(buffer));
    EXPECT_TRUE(buffer.data() == nullptr && buffer.size() == 0 && buffer.capacity() == 0);
    EXPECT_TRUE(taken.view() == expected);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(taken.data()) % hugePage, 0u);
  }
}

}  // namespace
}  // namespace brindell::testing
