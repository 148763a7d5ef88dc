// CCITT decoders on hand-made code streams. Rows are written here bit by bit
// from the T.4 run codes (CcittRunCode) and the T.4 / T.6 mode codes, so each
// case reads as the coding it is: "H w2 b3" is a horizontal mode with a white
// run of 2 and a black run of 3.
#include "io/readers/tiffccitt.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace rv {
namespace {

using TBytes = std::vector<uint8_t>;

class TBitWriter {
 public:
  void Bits(const std::string& bits) {
    for (char c : bits) Bit(c == '1');
  }
  void Bit(bool v) {
    if (n_ % 8 == 0) out_.push_back(0);
    if (v) out_.back() = uint8_t(out_.back() | (0x80 >> (n_ % 8)));
    ++n_;
  }
  void Run(bool black, int run) {
    while (run >= 2560) {
      Code(black, 2560);
      run -= 2560;
    }
    if (run >= 64) {
      Code(black, run / 64 * 64);
      run %= 64;
    }
    Code(black, run);
  }
  void Align() { n_ = (n_ + 7) / 8 * 8; }
  const TBytes& Data() const { return out_; }

 private:
  void Code(bool black, int run) {
    TCcittCode c;
    ASSERT_TRUE(CcittRunCode(black, run, c)) << run;
    for (int i = c.Length - 1; i >= 0; --i) Bit((c.Code >> i) & 1);
  }
  TBytes out_;
  int64_t n_ = 0;
};

// Words: "V0", "VR1".."VR3", "VL1".."VL3", "P", "H", "w<n>" / "b<n>" runs,
// "EOL", "1"/"0" raw bits, "|" byte alignment.
TBytes Code(const std::string& words) {
  TBitWriter w;
  std::istringstream in(words);
  std::string t;
  while (in >> t) {
    if (t == "V0")
      w.Bits("1");
    else if (t == "VR1")
      w.Bits("011");
    else if (t == "VR2")
      w.Bits("000011");
    else if (t == "VR3")
      w.Bits("0000011");
    else if (t == "VL1")
      w.Bits("010");
    else if (t == "VL2")
      w.Bits("000010");
    else if (t == "VL3")
      w.Bits("0000010");
    else if (t == "P")
      w.Bits("0001");
    else if (t == "H")
      w.Bits("001");
    else if (t == "EOL")
      w.Bits("000000000001");
    else if (t == "|")
      w.Align();
    else if (t[0] == 'w' || t[0] == 'b')
      w.Run(t[0] == 'b', std::stoi(t.substr(1)));
    else
      w.Bits(t);
  }
  return w.Data();
}

// Rows as text: '#' black, '.' white.
std::vector<std::string> Rows(const TBytes& out, int64_t width, int64_t rows, int64_t rowBytes) {
  std::vector<std::string> text;
  for (int64_t y = 0; y < rows; ++y) {
    std::string row;
    for (int64_t x = 0; x < width; ++x) row += (out[size_t(y * rowBytes + x / 8)] >> (7 - x % 8)) & 1 ? '#' : '.';
    text.push_back(row);
  }
  return text;
}

struct TCase {
  const char* Name;
  TCcittScheme Scheme;
  bool TwoD;
  int Width;
  std::string Words;
  std::vector<std::string> Expected;  // the rows decoded (rows asked = Expected.size() + Extra)
  TCcittStatus Status;
  int Extra = 0;
};

class CcittCodes : public testing::TestWithParam<TCase> {};

TEST_P(CcittCodes, DecodeToTheRows) {
  const TCase& c = GetParam();
  TCcittOptions o;
  o.Scheme = c.Scheme;
  o.Width = c.Width;
  o.TwoDimensional = c.TwoD;
  const int64_t rowBytes = (c.Width + 7) / 8 + 1;  // one spare byte that must stay untouched
  const int64_t rows = int64_t(c.Expected.size()) + c.Extra;
  TBytes out(size_t(rows * rowBytes), 0xA5);
  const TBytes in = Code(c.Words);
  const TCcittResult r = DecodeCcitt(in.data(), int64_t(in.size()), o, rows, out.data(), rowBytes);
  EXPECT_EQ(r.Status, c.Status);
  ASSERT_EQ(r.Rows, int64_t(c.Expected.size()));
  EXPECT_EQ(Rows(out, c.Width, r.Rows, rowBytes), c.Expected);
  for (int64_t y = 0; y < rows; ++y) EXPECT_EQ(out[size_t(y * rowBytes + rowBytes - 1)], 0xA5) << "row " << y;
}

using enum TCcittScheme;
using enum TCcittStatus;

INSTANTIATE_TEST_SUITE_P(
    HandMade, CcittCodes,
    testing::Values(
        TCase{"MhRows",
              kModifiedHuffman,
              false,
              10,
              "w2 b3 w5 | w0 b10 | w10",
              {"..###.....", "##########", ".........."},
              kComplete},
        TCase{"MhMakeupRuns",
              kModifiedHuffman,
              false,
              2600,
              "w1800 b800",
              {std::string(1800, '.') + std::string(800, '#')},
              kComplete},
        // A run past the end of the line ends at the line's end.
        TCase{"MhRunPastTheLine", kModifiedHuffman, false, 8, "w3 b20 | w8", {"...#####", "........"}, kComplete},
        TCase{"MhDataEnds", kModifiedHuffman, false, 8, "w8", {"........"}, kEndOfData, 2},
        TCase{"MhBadCode", kModifiedHuffman, false, 8, "w2 000000000000", {"........"}, kBad, 1},
        TCase{"G3OneD", kGroup3, false, 8, "EOL w1 b2 w5 EOL w0 b8 EOL EOL", {".##.....", "########"}, kComplete},
        TCase{"G3TwoD",
              kGroup3,
              true,
              8,
              "EOL 1 w2 b3 w3 EOL 0 V0 V0 V0 EOL 0 VR1 V0 V0",
              {"..###...", "..###...", "...##..."},
              kComplete},
        // Two end-of-line codes in a row end the page.
        TCase{"G3ReturnToControl", kGroup3, false, 4, "EOL w4 EOL EOL EOL", {"...."}, kEndOfData, 3},
        // A bad row is finished white; decoding picks up at the next EOL.
        TCase{"G3Resync", kGroup3, false, 8, "EOL w2 000000000000 EOL w0 b8", {"........", "########"}, kComplete},
        TCase{"G4Modes",
              kGroup4,
              false,
              8,
              "H w2 b3 V0 V0 V0 V0 VR1 V0 V0 P V0 EOL EOL",
              {"..###...", "..###...", "...##...", "........"},
              kComplete},
        TCase{"G4VerticalLeft", kGroup4, false, 8, "VL3 V0 VL2 VL1 V0", {".....###", "...####."}, kComplete},
        // A change left of the current position cannot be: the row ends white there.
        TCase{"G4ChangeLeftOfA0",
              kGroup4,
              false,
              16,
              "H w0 b10 V0 V0 H b8 w1 VL3",
              {"##########......", "########........"},
              kBad,
              1},
        TCase{"G4EndOfBlock", kGroup4, false, 4, "V0 EOL EOL", {"...."}, kEndOfData, 3},
        TCase{"G4Truncated", kGroup4, false, 8, "H w2 b3", {"..###..."}, kEndOfData, 3}),
    [](const testing::TestParamInfo<TCase>& info) { return std::string(info.param.Name); });

// Every code of the tables decodes to its run: a row of that run alone.
TEST(Ccitt, EveryRunCodeDecodesToItsRun) {
  for (bool black : {false, true}) {
    for (int run = 0; run <= 2560; ++run) {
      TCcittCode c;
      if (!CcittRunCode(black, run, c) || run == 0) continue;
      SCOPED_TRACE(std::string(black ? "black " : "white ") + std::to_string(run));
      TBitWriter w;
      if (black) w.Run(false, 0);
      w.Run(black, run);
      TCcittOptions o;
      o.Scheme = TCcittScheme::kModifiedHuffman;
      o.Width = run;
      TBytes out(size_t((run + 7) / 8), 0x5A);
      const TCcittResult r =
          DecodeCcitt(w.Data().data(), int64_t(w.Data().size()), o, 1, out.data(), int64_t(out.size()));
      ASSERT_EQ(r.Rows, 1);
      const std::string row = Rows(out, run, 1, int64_t(out.size()))[0];
      EXPECT_EQ(row, std::string(size_t(run), black ? '#' : '.'));
    }
  }
}

// No code of one colour is a prefix of another.
TEST(Ccitt, RunCodesArePrefixFree) {
  for (bool black : {false, true}) {
    std::vector<std::string> codes;
    for (int run = 0; run <= 2560; ++run) {
      TCcittCode c;
      if (!CcittRunCode(black, run, c)) continue;
      std::string s;
      for (int i = c.Length - 1; i >= 0; --i) s += ((c.Code >> i) & 1) ? '1' : '0';
      codes.push_back(s);
    }
    EXPECT_EQ(codes.size(), 64u + 27u + 13u);
    for (size_t i = 0; i < codes.size(); ++i)
      for (size_t j = 0; j < codes.size(); ++j)
        if (i != j) {
          EXPECT_NE(codes[j].rfind(codes[i], 0), 0u) << codes[i] << " prefixes " << codes[j];
        }
  }
}

// A huge width with little data: the work is bounded by the data and the rows.
TEST(Ccitt, HugeWidthWithLittleDataEndsQuickly) {
  const TBytes in = Code("w8 b8");
  TCcittOptions o;
  o.Scheme = TCcittScheme::kModifiedHuffman;
  o.Width = 1000000;
  TBytes out(size_t((o.Width + 7) / 8) * 2, 0);
  const TCcittResult r = DecodeCcitt(in.data(), int64_t(in.size()), o, 2, out.data(), (o.Width + 7) / 8);
  EXPECT_NE(r.Status, TCcittStatus::kComplete);
  EXPECT_EQ(out[0], 0x00);
  EXPECT_EQ(out[1], 0xFF);
}

}  // namespace
}  // namespace rv
