// TIFF LZW on hand-made code streams: codes are packed here with the code
// width rules of the format (9 bits after a clear code, one bit more when the
// next free entry reaches 511, 1023, 2047 — or 512, 1024, 2048 for old-style
// data, which is also packed least significant bit first).
#include "io/readers/tifflzw.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <vector>

namespace rv {
namespace {

using TBytes = std::vector<uint8_t>;
constexpr int kClear = 256, kEnd = 257;

TBytes PackCodes(const std::vector<int>& codes, bool oldStyle) {
  TBytes out;
  uint64_t acc = 0;
  int bits = 0, width = 9, next = 258;
  bool afterClear = true;
  for (int code : codes) {
    if (oldStyle) {
      acc |= uint64_t(code) << bits;
      bits += width;
      while (bits >= 8) {
        out.push_back(uint8_t(acc));
        acc >>= 8;
        bits -= 8;
      }
    } else {
      acc = (acc << width) | uint64_t(code);
      bits += width;
      while (bits >= 8) {
        out.push_back(uint8_t(acc >> (bits - 8)));
        bits -= 8;
      }
    }
    if (code == kClear) {
      width = 9;
      next = 258;
      afterClear = true;
      continue;
    }
    if (afterClear) {
      afterClear = false;
      continue;
    }
    if (next < 4096) ++next;
    if (width < 12 && next + (oldStyle ? 0 : 1) >= (1 << width)) ++width;
  }
  if (bits > 0) out.push_back(oldStyle ? uint8_t(acc) : uint8_t(acc << (8 - bits)));
  return out;
}

// A straightforward TIFF LZW encoder, to make long streams with every width.
std::vector<int> EncodeCodes(const TBytes& data) {
  std::vector<int> codes{kClear};
  std::vector<std::array<int, 256>> table;
  auto reset = [&] {
    table.assign(4096, {});
    for (auto& t : table) t.fill(-1);
  };
  reset();
  int next = 258;
  int w = -1;
  for (uint8_t c : data) {
    if (w < 0) {
      w = c;
      continue;
    }
    if (table[size_t(w)][c] >= 0) {
      w = table[size_t(w)][c];
      continue;
    }
    codes.push_back(w);
    table[size_t(w)][c] = next++;
    w = c;
    if (next == 4094) {
      codes.push_back(w);
      w = -1;
      codes.push_back(kClear);
      reset();
      next = 258;
    }
  }
  if (w >= 0) codes.push_back(w);
  codes.push_back(kEnd);
  return codes;
}

struct TCodeCase {
  const char* Name;
  std::vector<int> Codes;
  std::string Expected;
  TLzwStatus Status;
};

class TiffLzwCodes : public testing::TestWithParam<TCodeCase> {};

TEST_P(TiffLzwCodes, DecodeAsExpected) {
  const TCodeCase& c = GetParam();
  const TBytes packed = PackCodes(c.Codes, false);
  // 48 bytes of output and a guard behind them.
  TBytes out(64, 0xEE);
  const TLzwResult r = DecodeTiffLzw(packed.data(), int64_t(packed.size()), out.data(), 48);
  EXPECT_EQ(r.Status, c.Status);
  EXPECT_EQ(std::string(out.begin(), out.begin() + r.Produced), c.Expected);
  for (size_t i = 48; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << i;
}

INSTANTIATE_TEST_SUITE_P(
    HandMade, TiffLzwCodes,
    testing::Values(TCodeCase{"Literals", {kClear, 'a', 'b', 'c', kEnd}, "abc", TLzwStatus::kEnd},
                    TCodeCase{"TableEntry", {kClear, 'a', 'b', 258, kEnd}, "abab", TLzwStatus::kEnd},
                    // The code that is being defined (KwKwK): previous string plus its first byte.
                    TCodeCase{"CodeEqualsNext", {kClear, 'a', 258, kEnd}, "aaa", TLzwStatus::kEnd},
                    TCodeCase{
                        "ClearInTheMiddle", {kClear, 'a', 'b', kClear, 'c', 258, kEnd}, "abccc", TLzwStatus::kEnd},
                    TCodeCase{"CodePastNext", {kClear, 'a', 'b', 300, kEnd}, "ab", TLzwStatus::kBad},
                    TCodeCase{"TableCodeAfterClear", {kClear, 258, kEnd}, "", TLzwStatus::kBad},
                    TCodeCase{"NoEndCode", {kClear, 'x', 'y'}, "xy", TLzwStatus::kEnd},
                    TCodeCase{"NoClearAtStart", {'q', 'r', 258, kEnd}, "qrqr", TLzwStatus::kEnd}),
    [](const testing::TestParamInfo<TCodeCase>& info) { return std::string(info.param.Name); });

TEST(TiffLzw, OutputStopsAtItsSizeInsideAString) {
  const TBytes packed = PackCodes({kClear, 'a', 'b', 258, 259, kEnd}, false);  // a b ab ba
  TBytes out(5, 0);
  const TLzwResult r = DecodeTiffLzw(packed.data(), int64_t(packed.size()), out.data(), int64_t(out.size()));
  EXPECT_EQ(r.Status, TLzwStatus::kOutputFull);
  EXPECT_EQ(std::string(out.begin(), out.end()), "ababb");
}

// Output sizes around the end of long strings: whole 16-byte pieces, the
// byte-wise tail, and strings cut by the end.
TEST(TiffLzw, EveryOutputSizeGivesTheSamePrefix) {
  TBytes data;
  for (int i = 0; i < 600; ++i) data.push_back(uint8_t("abcabcabd"[i % 9] + (i / 97)));
  const TBytes packed = PackCodes(EncodeCodes(data), false);
  for (size_t size = 1; size <= data.size(); ++size) {
    TBytes out(size + 16, 0xEE);
    const TLzwResult r = DecodeTiffLzw(packed.data(), int64_t(packed.size()), out.data(), int64_t(size));
    ASSERT_EQ(r.Produced, int64_t(size));
    ASSERT_TRUE(std::equal(out.begin(), out.begin() + long(size), data.begin())) << size;
    for (size_t i = size; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << size << " " << i;
  }
}

// Long streams pass every width change (9 to 12 bits) and clear codes.
TEST(TiffLzw, RoundTripsThroughEveryCodeWidth) {
  std::mt19937 rng(7);
  for (int alphabet : {2, 16, 256}) {
    TBytes data(200000);
    for (uint8_t& v : data) v = uint8_t(rng() % unsigned(alphabet));
    for (bool oldStyle : {false, true}) {
      SCOPED_TRACE(std::to_string(alphabet) + (oldStyle ? " old-style" : ""));
      const TBytes packed = PackCodes(EncodeCodes(data), oldStyle);
      ASSERT_EQ(IsOldStyleTiffLzw(packed.data(), int64_t(packed.size())), oldStyle);
      TBytes out(data.size());
      const TLzwResult r = DecodeTiffLzw(packed.data(), int64_t(packed.size()), out.data(), int64_t(out.size()));
      EXPECT_NE(r.Status, TLzwStatus::kBad);
      ASSERT_EQ(r.Produced, int64_t(data.size()));
      EXPECT_EQ(out, data);
    }
  }
}

// A full table without a clear code is frozen: later codes still decode.
TEST(TiffLzw, FullTableWithoutClearIsFrozen) {
  std::vector<int> codes{kClear};
  std::string expected;
  for (int i = 0; i < 5000; ++i) {
    codes.push_back('a' + i % 3);
    expected += char('a' + i % 3);
  }
  codes.push_back(kEnd);
  const TBytes packed = PackCodes(codes, false);
  TBytes out(expected.size() + 10);
  const TLzwResult r = DecodeTiffLzw(packed.data(), int64_t(packed.size()), out.data(), int64_t(out.size()));
  EXPECT_EQ(r.Status, TLzwStatus::kEnd);
  EXPECT_EQ(std::string(out.begin(), out.begin() + r.Produced), expected);
}

TEST(TiffLzw, EmptyInputProducesNothing) {
  uint8_t out[4] = {};
  EXPECT_EQ(DecodeTiffLzw(nullptr, 0, out, 4).Produced, 0);
  const TBytes packed = PackCodes({kClear, 'z', kEnd}, false);
  EXPECT_EQ(BuiltInTiffLzwCodec().Decode(packed.data(), int64_t(packed.size()), out, 4).Produced, 1);
  EXPECT_EQ(out[0], 'z');
}

}  // namespace
}  // namespace rv
