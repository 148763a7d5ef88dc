// Working blocks: aligned like picture storage, whole and writable.
#include "imaging/pxblock.h"

#include <gtest/gtest.h>

#include <cstring>

namespace rv {
namespace {

TEST(PxBlockTest, LargeBlocksAreHugePageAligned) {
  constexpr size_t kMiB = size_t(1) << 20;
  struct TCase {
    size_t Bytes;
    uintptr_t Alignment;
  };
  const TCase cases[] = {{0, 32}, {1, 32}, {8 * kMiB - 1, 32}, {8 * kMiB, 2 * kMiB}, {24 * kMiB + 5, 2 * kMiB}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Bytes);
    TPxByteBlock block = MakePxByteBlock(c.Bytes);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block.get()) % c.Alignment, 0u);
    if (c.Bytes > 0) {
      std::memset(block.get(), 0xA5, c.Bytes);
      EXPECT_EQ(block[c.Bytes - 1], 0xA5);
    }
  }
}

TEST(PxBlockTest, ImpossibleSizeThrows) {
  EXPECT_THROW(MakePxByteBlock(~size_t(0) - 4096), std::bad_alloc);
}

}  // namespace
}  // namespace rv
