#include "imaging/pxstreams.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

namespace rv {
namespace {

class BufferedReadTest : public testing::Test {
 protected:
  void SetUp() override {
    std::vector<uint8_t> bytes(10);
    std::iota(bytes.begin(), bytes.end(), uint8_t{100});
    source_.WriteBuffer(bytes.data(), 10);
    source_.SetPosition(0);
  }
  TMemoryStream source_;
};

TEST_F(BufferedReadTest, ReadsAcrossRefillsAndStopsAtTheEnd) {
  TPxBufferedReadStream s(source_, 4);
  uint8_t buf[6] = {};
  EXPECT_EQ(s.Read(buf, 3), 3);
  EXPECT_EQ(buf[2], 102);
  EXPECT_EQ(s.Read(buf, 3), 3);
  EXPECT_EQ(buf[0], 103);
  EXPECT_EQ(buf[2], 105);
  EXPECT_EQ(s.Read(buf, 6), 4);
  EXPECT_EQ(buf[0], 106);
  EXPECT_EQ(buf[3], 109);
  EXPECT_EQ(s.Read(buf, 1), 0);
  EXPECT_EQ(s.Seek(8, soBeginning), 8);
  EXPECT_EQ(s.Read(buf, 2), 2);
  EXPECT_EQ(buf[0], 108);
  EXPECT_EQ(buf[1], 109);
}

// Any buffer size and any mix of read sizes gives the bytes a plain read would.
TEST_F(BufferedReadTest, MatchesAPlainReadForEveryBufferSize) {
  const std::vector<int> counts = {1, 5, 2, 9, 3, 1};
  for (int bufferSize : {-3, 0, 1, 2, 3, 4, 7, 64}) {
    source_.SetPosition(1);
    TPxBufferedReadStream s(source_, bufferSize);
    TPxMemStream plain(source_.Memory(), source_.Size());
    plain.SetPosition(1);
    for (size_t i = 0; i < counts.size(); ++i) {
      if (i == 3) {  // move around in the middle
        s.Seek(-6, soCurrent);
        plain.Seek(-6, soCurrent);
      }
      uint8_t got[16] = {}, want[16] = {};
      int64_t n = s.Read(got, counts[i]);
      ASSERT_EQ(n, plain.Read(want, counts[i])) << "buffer " << bufferSize << " read " << i;
      EXPECT_EQ(std::vector<uint8_t>(got, got + n), std::vector<uint8_t>(want, want + n));
      EXPECT_EQ(s.Position(), plain.Position());
    }
  }
}

TEST_F(BufferedReadTest, SeekOriginsFollowTheStreamConvention) {
  TPxBufferedReadStream s(source_, 4);
  EXPECT_EQ(s.Seek(-2, soEnd), 8);
  EXPECT_EQ(s.Seek(1, soCurrent), 9);
  EXPECT_EQ(s.Seek(3, 9), 9);            // unknown origin
  EXPECT_EQ(s.Seek(-20, soCurrent), 9);  // before the start
  EXPECT_EQ(s.Size(), 10);
}

TEST_F(BufferedReadTest, WriteIsAnError) {
  TPxBufferedReadStream s(source_, 4);
  try {
    s.Write("x", 1);
    FAIL() << "Write did not throw";
  } catch (const EStreamError& e) {
    EXPECT_STREQ(e.what(), "TPxBufferedReadStream cannot write!");
  }
}

// The size is taken once; a wrapped stream that later shrinks must end the
// data early instead of handing out stale buffer bytes.
TEST_F(BufferedReadTest, WrappedStreamThatShrinksEndsTheData) {
  TPxBufferedReadStream s(source_, 4);
  source_.SetSize(6);
  uint8_t buf[10] = {};
  EXPECT_EQ(s.Read(buf, 3), 3);
  EXPECT_EQ(s.Read(buf, 7), 3);
  EXPECT_EQ(buf[2], 105);
  EXPECT_EQ(s.Read(buf, 20), 0);  // larger than the buffer, read directly
}

TEST(TPxMemStreamTest, ReadsCallerMemoryAndNeverWrites) {
  uint8_t memory[5] = {1, 2, 3, 4, 5};
  TPxMemStream s(memory, 5);
  uint8_t buf[8] = {};
  s.Seek(-2, soEnd);
  EXPECT_EQ(s.Read(buf, 8), 2);
  EXPECT_EQ(buf[0], 4);
  s.SetPosition(0);
  EXPECT_EQ(s.Write("zz", 2), 0);
  s.SetSize(1);
  EXPECT_EQ(s.Size(), 5);
  EXPECT_EQ(memory[0], 1);
  EXPECT_EQ(s.Read(buf, 8), 5);
}

}  // namespace
}  // namespace rv
