// The GIF LZW decoder on hand-made code streams: each case lists its codes
// with the width the decoder must read them at, so a wrong width change, a
// wrong table entry or a wrong stop shows as different indices.
#include "io/readers/giflzw.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/stream.h"

namespace rv {
namespace {

// Packs codes least significant bit first.
class TCodePacker {
 public:
  void Put(uint32_t code, int width) {
    for (int i = 0; i < width; ++i, ++bit_) {
      if (bit_ % 8 == 0) bytes_.push_back(0);
      if (code >> i & 1) bytes_.back() |= uint8_t(1 << (bit_ % 8));
    }
  }
  std::vector<uint8_t>& Bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  int64_t bit_ = 0;
};

struct TCodeCase {
  const char* Name;
  int MinCodeSize;
  std::vector<std::pair<uint32_t, int>> Codes;  // code, width
  std::vector<uint8_t> Extra;                   // bytes after the codes
  int Width, Height;
  std::vector<uint8_t> Expected;  // the whole buffer, which starts as 0xEE
  TGifLzwStop Stop;
};

void PrintTo(const TCodeCase& c, std::ostream* os) {
  *os << c.Name;
}

constexpr uint8_t X = 0xEE;  // a byte the decoder did not write

const TCodeCase kCodeCases[] = {
    {"Literals", 2, {{4, 3}, {1, 3}, {2, 3}, {3, 3}, {5, 4}}, {}, 4, 1, {1, 2, 3, X}, TGifLzwStop::kEndCode},
    // Code 6 is the next free entry: the previous string plus its first index.
    {"NextFreeCode", 2, {{4, 3}, {1, 3}, {6, 3}, {5, 3}}, {}, 4, 1, {1, 1, 1, X}, TGifLzwStop::kEndCode},
    {"TableEntry", 2, {{4, 3}, {0, 3}, {1, 3}, {6, 3}, {5, 4}}, {}, 5, 1, {0, 1, 0, 1, X}, TGifLzwStop::kEndCode},
    {"CodePastNextFree", 2, {{4, 3}, {1, 3}, {7, 3}, {2, 3}}, {}, 4, 1, {1, X, X, X}, TGifLzwStop::kBadCode},
    {"NoClearAtStart", 2, {{1, 3}, {2, 3}, {5, 3}}, {}, 3, 1, {1, 2, X}, TGifLzwStop::kEndCode},
    {"TableCodeBeforeAnyIndex", 2, {{6, 3}, {1, 3}}, {}, 2, 1, {X, X}, TGifLzwStop::kBadCode},
    {"DoubleClear", 2, {{4, 3}, {4, 3}, {2, 3}, {5, 3}}, {}, 2, 1, {2, X}, TGifLzwStop::kEndCode},
    // A clear code restores the width: 4 bits before it, 3 after.
    {"ClearResetsWidth",
     2,
     {{4, 3}, {0, 3}, {1, 3}, {2, 3}, {4, 4}, {3, 3}, {5, 3}},
     {},
     5,
     1,
     {0, 1, 2, 3, X},
     TGifLzwStop::kEndCode},
    // The first code after a clear that is not in the fresh table stands for 0.
    {"FirstCodeNotInTable", 2, {{4, 3}, {7, 3}, {3, 3}, {5, 3}}, {}, 3, 1, {0, 3, X}, TGifLzwStop::kEndCode},
    {"EndRightAfterClear", 2, {{4, 3}, {5, 3}}, {}, 2, 1, {X, X}, TGifLzwStop::kEndCode},
    {"EndAfterClearWithDataBehind", 2, {{4, 3}, {5, 3}}, {0xFF}, 2, 1, {X, X}, TGifLzwStop::kEndAfterClear},
    // More indices than the picture holds: the rest is dropped.
    {"TooMuchData", 2, {{4, 3}, {1, 3}, {2, 3}, {3, 3}, {6, 4}, {5, 4}}, {}, 2, 1, {1, 2}, TGifLzwStop::kOutputFull},
    // A table string longer than what is left is cut at the picture's end.
    {"StringCutAtEnd", 2, {{4, 3}, {0, 3}, {1, 3}, {6, 3}}, {}, 3, 1, {0, 1, 0}, TGifLzwStop::kOutputFull},
    // 16 bits of codes, so no padding bits can be read as one more code.
    {"TooLittleData", 3, {{8, 4}, {1, 4}, {2, 4}, {3, 4}}, {}, 2, 2, {1, 2, 3, X}, TGifLzwStop::kDataExhausted},
    {"CodeSizeOne", 1, {{2, 2}, {1, 2}, {3, 2}}, {}, 1, 1, {X}, TGifLzwStop::kBadCodeSize},
    {"CodeSizeNine", 9, {{512, 10}, {1, 10}, {513, 10}}, {}, 1, 1, {X}, TGifLzwStop::kBadCodeSize},
    {"CodeSizeTwelve", 12, {{4096, 13}}, {}, 1, 1, {X}, TGifLzwStop::kBadCodeSize},
    // Code size 8: indices up to 255, clear 256, end 257, 9-bit codes.
    {"EightBit",
     8,
     {{256, 9}, {255, 9}, {0, 9}, {258, 9}, {257, 9}},
     {},
     5,
     1,
     {255, 0, 255, 0, X},
     TGifLzwStop::kEndCode},
};

class GifLzwCodeTest : public testing::TestWithParam<TCodeCase> {};

TEST_P(GifLzwCodeTest, DecodesTheHandMadeStream) {
  const TCodeCase& c = GetParam();
  TCodePacker packer;
  for (const auto& [code, width] : c.Codes) packer.Put(code, width);
  std::vector<uint8_t> data = packer.Bytes();
  data.insert(data.end(), c.Extra.begin(), c.Extra.end());
  std::vector<uint8_t> out(size_t(c.Width) * c.Height, X);
  const TGifLzwResult r =
      DecodeGifLzwData(data.data(), data.size(), c.MinCodeSize, c.Width, c.Height, out.data(), false);
  EXPECT_EQ(out, c.Expected);
  EXPECT_EQ(int(r.Stop), int(c.Stop));
}

INSTANTIATE_TEST_SUITE_P(Codes, GifLzwCodeTest, testing::ValuesIn(kCodeCases),
                         [](const testing::TestParamInfo<TCodeCase>& info) { return std::string(info.param.Name); });

// Streams too long to write by hand: a model of the encoder's width (the
// width of the next free code, at most 12 bits) packs each code.
class TModelStream {
 public:
  explicit TModelStream(int minCodeSize) : m_(minCodeSize), next_((1u << minCodeSize) + 2) {}
  void Clear() {
    packer_.Put(1u << m_, Width());
    next_ = (1u << m_) + 2;
    fresh_ = true;
  }
  // A data code; adds a table entry unless it follows a clear or the table is full.
  void Code(uint32_t c) {
    packer_.Put(c, Width());
    if (!fresh_ && next_ < 4096) ++next_;
    fresh_ = false;
  }
  void End() { packer_.Put((1u << m_) + 1, Width()); }
  std::vector<uint8_t>& Bytes() { return packer_.Bytes(); }

 private:
  int Width() const {
    int w = 0;
    while ((next_ >> w) != 0) ++w;
    return std::min(w, 12);
  }
  TCodePacker packer_;
  int m_;
  uint32_t next_;
  bool fresh_ = true;
};

// The table fills to 4096 entries and the writer goes on without a clear
// code (a deferred clear, allowed by GIF89a): the frozen table keeps
// decoding at 12 bits, and the late clear code goes back to 3 bits.
TEST(GifLzwTest, FullTableStaysFrozenUntilClear) {
  TModelStream s(2);
  s.Clear();
  std::vector<uint8_t> expected;
  for (int i = 0; i < 6000; ++i) {
    s.Code(uint32_t(i % 3));
    expected.push_back(uint8_t(i % 3));
  }
  s.Clear();
  s.Code(3);
  s.Code(2);
  expected.insert(expected.end(), {3, 2});
  s.End();
  expected.push_back(X);  // one more than the stream holds, so the end code is read
  std::vector<uint8_t> out(expected.size(), X);
  const TGifLzwResult r =
      DecodeGifLzwData(s.Bytes().data(), s.Bytes().size(), 2, int(out.size()), 1, out.data(), false);
  EXPECT_EQ(out, expected);
  EXPECT_EQ(int(r.Stop), int(TGifLzwStop::kEndCode));
}

// Each code is the next free one, so every string is one longer than the last:
// the longest chains the table can hold, decoded without walking them.
TEST(GifLzwTest, LongestChainsDecode) {
  TModelStream s(2);
  s.Clear();
  s.Code(1);
  int64_t total = 1;
  for (uint32_t code = 6; code < 4096; ++code) {
    s.Code(code);
    total += code - 4;  // string of entry k has k - 4 indices
  }
  s.End();
  std::vector<uint8_t> out(size_t(total) + 1, X);
  const TGifLzwResult r = DecodeGifLzwData(s.Bytes().data(), s.Bytes().size(), 2, int(total) + 1, 1, out.data(), false);
  EXPECT_EQ(r.Written, total);
  EXPECT_EQ(int(r.Stop), int(TGifLzwStop::kEndCode));
  EXPECT_EQ(std::count(out.begin(), out.end() - 1, 1), total);
  EXPECT_EQ(out.back(), X);
}

// Rows come out in the four interlace passes; the stream's row s carries index s.
struct TInterlaceCase {
  int Height;
  std::vector<uint8_t> RowsFromStreamRow;  // for each picture row, the stream row drawn there
};

class GifLzwInterlaceTest : public testing::TestWithParam<TInterlaceCase> {};

TEST_P(GifLzwInterlaceTest, RowsGoToTheirPasses) {
  const TInterlaceCase& c = GetParam();
  TModelStream s(4);
  s.Clear();
  for (int row = 0; row < c.Height; ++row) {
    s.Code(uint32_t(row));
    s.Code(uint32_t(row));
  }
  s.End();
  std::vector<uint8_t> out(size_t(2) * c.Height, X);
  DecodeGifLzwData(s.Bytes().data(), s.Bytes().size(), 4, 2, c.Height, out.data(), true);
  for (int y = 0; y < c.Height; ++y) {
    EXPECT_EQ(out[size_t(y) * 2], c.RowsFromStreamRow[size_t(y)]) << "row " << y;
    EXPECT_EQ(out[size_t(y) * 2 + 1], c.RowsFromStreamRow[size_t(y)]) << "row " << y;
  }
}

INSTANTIATE_TEST_SUITE_P(Heights, GifLzwInterlaceTest,
                         testing::Values(TInterlaceCase{1, {0}}, TInterlaceCase{2, {0, 1}},
                                         TInterlaceCase{3, {0, 2, 1}}, TInterlaceCase{4, {0, 2, 1, 3}},
                                         TInterlaceCase{5, {0, 3, 2, 4, 1}},
                                         TInterlaceCase{8, {0, 4, 2, 5, 1, 6, 3, 7}},
                                         TInterlaceCase{10, {0, 5, 3, 6, 2, 7, 4, 8, 1, 9}}));

// The stream form: code size byte, data split over sub-blocks, zero terminator.
std::vector<uint8_t> InSubBlocks(uint8_t minCodeSize, const std::vector<uint8_t>& data, size_t blockSize) {
  std::vector<uint8_t> out{minCodeSize};
  for (size_t i = 0; i < data.size(); i += blockSize) {
    const size_t n = std::min(blockSize, data.size() - i);
    out.push_back(uint8_t(n));
    out.insert(out.end(), data.begin() + i, data.begin() + i + n);
  }
  out.push_back(0);
  return out;
}

TEST(GifLzwTest, StreamDecoderJoinsSubBlocksAndEndsAfterTerminator) {
  TModelStream s(3);
  s.Clear();
  std::vector<uint8_t> expected;
  for (int i = 0; i < 300; ++i) {
    s.Code(uint32_t(i * 7 % 8));
    expected.push_back(uint8_t(i * 7 % 8));
  }
  s.End();
  std::vector<uint8_t> file = InSubBlocks(3, s.Bytes(), 5);
  file.push_back(0x3B);
  TMemoryStream stream;
  stream.WriteBuffer(file.data(), int64_t(file.size()));
  stream.Seek(0, soBeginning);
  std::vector<uint8_t> out(expected.size(), X);
  DecodeGifLzw(stream, 1, int(out.size()), out.data(), false);
  EXPECT_EQ(out, expected);
  EXPECT_EQ(stream.Position(), int64_t(file.size()) - 1);
}

// A stream that cannot tell its size (it reports none left) still gives all
// of its sub-blocks: the joined data grows as they come.
class TUnsizedStream : public TStream {
 public:
  explicit TUnsizedStream(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  int64_t Read(void* buffer, int64_t count) override {
    const int64_t n = std::clamp<int64_t>(int64_t(bytes_.size()) - pos_, 0, count);
    std::memcpy(buffer, bytes_.data() + pos_, size_t(n));
    pos_ += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, int origin) override {
    if (origin == soBeginning && offset >= 0) pos_ = offset;
    if (origin == soCurrent && pos_ + offset >= 0) pos_ += offset;
    return pos_;
  }
  int64_t Size() override { return 0; }

 private:
  std::vector<uint8_t> bytes_;
  int64_t pos_ = 0;
};

TEST(GifLzwTest, StreamDecoderJoinsSubBlocksOfAnUnsizedStream) {
  TModelStream s(3);
  s.Clear();
  std::vector<uint8_t> expected;
  for (int i = 0; i < 5000; ++i) {
    s.Code(uint32_t(i * 5 % 8));
    expected.push_back(uint8_t(i * 5 % 8));
  }
  s.End();
  ASSERT_GT(s.Bytes().size(), 1000u);
  const std::vector<uint8_t> file = InSubBlocks(3, s.Bytes(), 255);
  TUnsizedStream stream(file);
  std::vector<uint8_t> out(expected.size(), X);
  DecodeGifLzw(stream, 1, int(out.size()), out.data(), false);
  EXPECT_EQ(out, expected);
  EXPECT_EQ(stream.Position(), int64_t(file.size()));
}

// Failures leave the stream where the image data began.
TEST(GifLzwTest, StreamDecoderRestoresPositionOnFailure) {
  TCodePacker clearThenEnd;
  clearThenEnd.Put(4, 3);
  clearThenEnd.Put(5, 3);
  std::vector<uint8_t> trailing = clearThenEnd.Bytes();
  trailing.push_back(0x55);
  const std::vector<std::vector<uint8_t>> cases = {
      InSubBlocks(1, {0x01}, 255),    // code size below 2
      InSubBlocks(9, {0x01}, 255),    // code size above 8
      InSubBlocks(11, {0x01}, 255),   // code size above 8
      InSubBlocks(2, trailing, 255),  // end code after a clear, data behind it
      {},                             // nothing at all
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    TMemoryStream stream;
    stream.WriteBuffer("\x21\x21", 2);
    if (!cases[i].empty()) stream.WriteBuffer(cases[i].data(), int64_t(cases[i].size()));
    stream.Seek(2, soBeginning);
    uint8_t out[4] = {X, X, X, X};
    DecodeGifLzw(stream, 2, 2, out, false);
    EXPECT_EQ(stream.Position(), 2) << "case " << i;
  }
}

TEST(GifLzwTest, SubBlocksEndAtTheStreamEnd) {
  // Length byte 10, but only 3 bytes follow.
  const uint8_t bytes[] = {10, 1, 2, 3};
  TMemoryStream stream;
  stream.WriteBuffer(bytes, sizeof bytes);
  stream.Seek(0, soBeginning);
  std::vector<uint8_t> out;
  EXPECT_EQ(ReadGifSubBlocks(stream, &out), 3);
  EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3}));
}

}  // namespace
}  // namespace rv
