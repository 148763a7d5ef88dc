#include "platform/stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

namespace rv {
namespace {

// A stream with only Read/Write/Seek, to exercise the base class defaults.
class FixedStream : public TStream {
 public:
  explicit FixedStream(std::vector<uint8_t> data) : data_(std::move(data)) {}
  int64_t Read(void* buffer, int64_t count) override {
    int64_t n = std::max<int64_t>(0, std::min<int64_t>(count, static_cast<int64_t>(data_.size()) - pos_));
    if (n > 0) std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
    pos_ += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, int origin) override {
    int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? pos_ : static_cast<int64_t>(data_.size());
    pos_ = base + offset;
    return pos_;
  }

 private:
  std::vector<uint8_t> data_;
  int64_t pos_ = 0;
};

std::vector<uint8_t> Iota(size_t n) {
  std::vector<uint8_t> v(n);
  std::iota(v.begin(), v.end(), uint8_t{0});
  return v;
}

TEST(TStreamTest, DefaultSizeMeasuresBySeekingAndKeepsThePosition) {
  FixedStream s(Iota(10));
  s.SetPosition(3);
  EXPECT_EQ(s.Size(), 10);
  EXPECT_EQ(s.Position(), 3);
  EXPECT_THROW(s.SetSize(4), EStreamError);
}

TEST(TStreamTest, ReadBufferThrowsWhenTheStreamEndsEarly) {
  FixedStream s(Iota(10));
  uint8_t buf[8];
  s.ReadBuffer(buf, 8);
  EXPECT_EQ(buf[7], 7);
  EXPECT_THROW(s.ReadBuffer(buf, 3), EStreamError);
}

TEST(TStreamTest, CopyFromZeroCopiesEverythingFromTheStart) {
  FixedStream src(Iota(300));
  src.SetPosition(250);
  TMemoryStream dst;
  EXPECT_EQ(dst.CopyFrom(src, 0), 300);
  ASSERT_EQ(dst.Size(), 300);
  EXPECT_EQ(0, std::memcmp(dst.Memory(), Iota(300).data(), 300));
  EXPECT_THROW(dst.CopyFrom(src, 1), EStreamError);  // src is at its end now
}

TEST(TMemoryStreamTest, WritingPastTheEndGrowsWithAZeroGap) {
  TMemoryStream s;
  const uint8_t abc[] = {'a', 'b', 'c'};
  s.Seek(5, soBeginning);
  EXPECT_EQ(s.Write(abc, 3), 3);
  EXPECT_EQ(s.Size(), 8);
  EXPECT_EQ(s.Position(), 8);
  const uint8_t expected[] = {0, 0, 0, 0, 0, 'a', 'b', 'c'};
  EXPECT_EQ(0, std::memcmp(s.Memory(), expected, 8));
  // Many small writes keep every byte.
  for (int i = 0; i < 10000; ++i) s.WriteBuffer(abc + i % 3, 1);
  ASSERT_EQ(s.Size(), 10008);
  EXPECT_EQ(s.Memory()[8 + 9999], abc[9999 % 3]);
}

TEST(TMemoryStreamTest, SetSizeShrinksAndPullsThePositionBack) {
  TMemoryStream s;
  s.WriteBuffer(Iota(10).data(), 10);
  s.SetSize(4);
  EXPECT_EQ(s.Position(), 4);
  uint8_t b;
  EXPECT_EQ(s.Read(&b, 1), 0);
}

struct SeekCase {
  int64_t start, offset;
  int origin;
  int64_t expected;
};

class MemorySeekTest : public testing::TestWithParam<SeekCase> {};

TEST_P(MemorySeekTest, LandsWhereExpected) {
  const SeekCase& c = GetParam();
  TMemoryStream s;
  s.WriteBuffer(Iota(10).data(), 10);
  s.SetPosition(c.start);
  EXPECT_EQ(s.Seek(c.offset, c.origin), c.expected);
  EXPECT_EQ(s.Position(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Origins, MemorySeekTest,
                         testing::Values(SeekCase{2, 5, soBeginning, 5}, SeekCase{2, 5, soCurrent, 7},
                                         SeekCase{2, -3, soEnd, 7}, SeekCase{2, 4, soEnd, 14},
                                         SeekCase{2, 5, 7, 2},                // unknown origin
                                         SeekCase{2, -3, soCurrent, 2},       // before the start
                                         SeekCase{2, INT64_MAX, soEnd, 2}));  // overflow

class FileStreamTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::TempDir() + "rv_stream_XXXXXX";
    ASSERT_NE(mkdtemp(dir_.data()), nullptr);
    path_ = dir_ + "/f.bin";
  }
  void TearDown() override {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  std::string dir_, path_;
};

TEST_F(FileStreamTest, OpenFailureNamesTheFileAndTheReason) {
  try {
    TFileStream s(path_, fmOpenRead);
    FAIL() << "opened a missing file";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file \"" + path_ + "\". " + std::strerror(ENOENT));
  }
  EXPECT_THROW({ TFileStream s(dir_, fmOpenRead); }, EFOpenError);  // a directory is not a file
}

TEST_F(FileStreamTest, CreateWriteReopenRead) {
  {
    TFileStream s(path_, fmCreate);
    s.WriteBuffer(Iota(100).data(), 100);
    EXPECT_EQ(s.Size(), 100);
    s.SetSize(60);
    EXPECT_EQ(s.Position(), 60);
  }
  TFileStream s(path_, fmOpenRead);
  EXPECT_EQ(s.Size(), 60);
  EXPECT_EQ(s.Seek(-10, soEnd), 50);
  uint8_t buf[20];
  EXPECT_EQ(s.Read(buf, 20), 10);
  EXPECT_EQ(buf[0], 50);
  EXPECT_EQ(s.Write(buf, 1), 0);  // read-only descriptor
  EXPECT_EQ(s.Seek(-1, soBeginning), 60);
}

TEST_F(FileStreamTest, OffsetsBeyondFourGigabytes) {
  const int64_t far = (int64_t{5} << 30) + 3;
  {
    TFileStream s(path_, fmCreate);
    ASSERT_EQ(s.Seek(far, soBeginning), far);
    const uint8_t x = 0x5A;
    s.WriteBuffer(&x, 1);
    EXPECT_EQ(s.Size(), far + 1);
  }
  TFileStream s(path_, fmOpenReadWrite);
  EXPECT_EQ(s.Seek(-1, soEnd), far);
  uint8_t x = 0;
  s.ReadBuffer(&x, 1);
  EXPECT_EQ(x, 0x5A);
}

TEST_F(FileStreamTest, MemoryStreamLoadsAWholeFile) {
  {
    TFileStream s(path_, fmCreate);
    s.WriteBuffer(Iota(200).data(), 200);
  }
  TMemoryStream m;
  m.WriteBuffer("xy", 2);
  ASSERT_TRUE(m.LoadFromFile(path_));
  EXPECT_EQ(m.Position(), 0);
  ASSERT_EQ(m.Size(), 200);
  EXPECT_EQ(0, std::memcmp(m.Memory(), Iota(200).data(), 200));
  EXPECT_FALSE(m.LoadFromFile(path_ + ".missing"));
  EXPECT_EQ(m.Size(), 200);  // unchanged by the failed load
}

}  // namespace
}  // namespace rv
