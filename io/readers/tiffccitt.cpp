#include "io/readers/tiffccitt.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace rv {

namespace {

// ITU-T T.4 run-length codes, as bit strings. Terminating codes 0..63, then
// makeup codes; the extended makeup codes (1792..2560) serve both colours.
struct TCodeText {
  int Run;
  const char* Bits;
};

constexpr TCodeText kWhiteCodes[] = {
    {0, "00110101"},     {1, "000111"},       {2, "0111"},         {3, "1000"},         {4, "1011"},
    {5, "1100"},         {6, "1110"},         {7, "1111"},         {8, "10011"},        {9, "10100"},
    {10, "00111"},       {11, "01000"},       {12, "001000"},      {13, "000011"},      {14, "110100"},
    {15, "110101"},      {16, "101010"},      {17, "101011"},      {18, "0100111"},     {19, "0001100"},
    {20, "0001000"},     {21, "0010111"},     {22, "0000011"},     {23, "0000100"},     {24, "0101000"},
    {25, "0101011"},     {26, "0010011"},     {27, "0100100"},     {28, "0011000"},     {29, "00000010"},
    {30, "00000011"},    {31, "00011010"},    {32, "00011011"},    {33, "00010010"},    {34, "00010011"},
    {35, "00010100"},    {36, "00010101"},    {37, "00010110"},    {38, "00010111"},    {39, "00101000"},
    {40, "00101001"},    {41, "00101010"},    {42, "00101011"},    {43, "00101100"},    {44, "00101101"},
    {45, "00000100"},    {46, "00000101"},    {47, "00001010"},    {48, "00001011"},    {49, "01010010"},
    {50, "01010011"},    {51, "01010100"},    {52, "01010101"},    {53, "00100100"},    {54, "00100101"},
    {55, "01011000"},    {56, "01011001"},    {57, "01011010"},    {58, "01011011"},    {59, "01001010"},
    {60, "01001011"},    {61, "00110010"},    {62, "00110011"},    {63, "00110100"},    {64, "11011"},
    {128, "10010"},      {192, "010111"},     {256, "0110111"},    {320, "00110110"},   {384, "00110111"},
    {448, "01100100"},   {512, "01100101"},   {576, "01101000"},   {640, "01100111"},   {704, "011001100"},
    {768, "011001101"},  {832, "011010010"},  {896, "011010011"},  {960, "011010100"},  {1024, "011010101"},
    {1088, "011010110"}, {1152, "011010111"}, {1216, "011011000"}, {1280, "011011001"}, {1344, "011011010"},
    {1408, "011011011"}, {1472, "010011000"}, {1536, "010011001"}, {1600, "010011010"}, {1664, "011000"},
    {1728, "010011011"},
};

constexpr TCodeText kBlackCodes[] = {
    {0, "0000110111"},
    {1, "010"},
    {2, "11"},
    {3, "10"},
    {4, "011"},
    {5, "0011"},
    {6, "0010"},
    {7, "00011"},
    {8, "000101"},
    {9, "000100"},
    {10, "0000100"},
    {11, "0000101"},
    {12, "0000111"},
    {13, "00000100"},
    {14, "00000111"},
    {15, "000011000"},
    {16, "0000010111"},
    {17, "0000011000"},
    {18, "0000001000"},
    {19, "00001100111"},
    {20, "00001101000"},
    {21, "00001101100"},
    {22, "00000110111"},
    {23, "00000101000"},
    {24, "00000010111"},
    {25, "00000011000"},
    {26, "000011001010"},
    {27, "000011001011"},
    {28, "000011001100"},
    {29, "000011001101"},
    {30, "000001101000"},
    {31, "000001101001"},
    {32, "000001101010"},
    {33, "000001101011"},
    {34, "000011010010"},
    {35, "000011010011"},
    {36, "000011010100"},
    {37, "000011010101"},
    {38, "000011010110"},
    {39, "000011010111"},
    {40, "000001101100"},
    {41, "000001101101"},
    {42, "000011011010"},
    {43, "000011011011"},
    {44, "000001010100"},
    {45, "000001010101"},
    {46, "000001010110"},
    {47, "000001010111"},
    {48, "000001100100"},
    {49, "000001100101"},
    {50, "000001010010"},
    {51, "000001010011"},
    {52, "000000100100"},
    {53, "000000110111"},
    {54, "000000111000"},
    {55, "000000100111"},
    {56, "000000101000"},
    {57, "000001011000"},
    {58, "000001011001"},
    {59, "000000101011"},
    {60, "000000101100"},
    {61, "000001011010"},
    {62, "000001100110"},
    {63, "000001100111"},
    {64, "0000001111"},
    {128, "000011001000"},
    {192, "000011001001"},
    {256, "000001011011"},
    {320, "000000110011"},
    {384, "000000110100"},
    {448, "000000110101"},
    {512, "0000001101100"},
    {576, "0000001101101"},
    {640, "0000001001010"},
    {704, "0000001001011"},
    {768, "0000001001100"},
    {832, "0000001001101"},
    {896, "0000001110010"},
    {960, "0000001110011"},
    {1024, "0000001110100"},
    {1088, "0000001110101"},
    {1152, "0000001110110"},
    {1216, "0000001110111"},
    {1280, "0000001010010"},
    {1344, "0000001010011"},
    {1408, "0000001010100"},
    {1472, "0000001010101"},
    {1536, "0000001011010"},
    {1600, "0000001011011"},
    {1664, "0000001100100"},
    {1728, "0000001100101"},
};

constexpr TCodeText kExtendedMakeup[] = {
    {1792, "00000001000"},  {1856, "00000001100"},  {1920, "00000001101"},  {1984, "000000010010"},
    {2048, "000000010011"}, {2112, "000000010100"}, {2176, "000000010101"}, {2240, "000000010110"},
    {2304, "000000010111"}, {2368, "000000011100"}, {2432, "000000011101"}, {2496, "000000011110"},
    {2560, "000000011111"},
};

constexpr int kLookupBits = 13;  // the longest run code

struct TRunEntry {
  int16_t Run = 0;
  uint8_t Length = 0;  // 0: no code starts with these bits
};

struct TRunTables {
  std::array<TRunEntry, 1 << kLookupBits> Colour[2];
  TRunTables() {
    auto add = [this](int colour, const TCodeText& c) {
      const int len = int(std::strlen(c.Bits));
      int code = 0;
      for (int i = 0; i < len; ++i) code = (code << 1) | (c.Bits[i] == '1');
      const int shift = kLookupBits - len;
      for (int v = code << shift; v < ((code + 1) << shift); ++v)
        Colour[colour][size_t(v)] = {int16_t(c.Run), uint8_t(len)};
    };
    for (const TCodeText& c : kWhiteCodes) add(0, c);
    for (const TCodeText& c : kBlackCodes) add(1, c);
    for (const TCodeText& c : kExtendedMakeup) {
      add(0, c);
      add(1, c);
    }
  }
};

const TRunTables& Tables() {
  static const TRunTables tables;
  return tables;
}

// Most significant bit first reader; bits past the end read as 0.
class TBitReader {
 public:
  TBitReader(const uint8_t* in, int64_t size) : in_(in), size_(size), totalBits_(size * 8) {}
  uint32_t Peek(int n) const {
    const int64_t byte = pos_ >> 3;
    uint32_t v;
    if (byte + 4 <= size_) {
      v = (uint32_t(in_[byte]) << 24) | (uint32_t(in_[byte + 1]) << 16) | (uint32_t(in_[byte + 2]) << 8) |
          in_[byte + 3];
    } else {
      v = 0;
      for (int i = 0; i < 4; ++i) v = (v << 8) | (byte + i < size_ ? in_[byte + i] : 0u);
    }
    // 32 bits shifted by at most 7 leave 25 good bits, enough for n <= 25.
    return (v << (pos_ & 7)) >> (32 - n);
  }
  void Skip(int n) { pos_ += n; }
  bool Exhausted() const { return pos_ >= totalBits_; }
  bool Overrun() const { return pos_ > totalBits_; }
  void AlignToByte() { pos_ = (pos_ + 7) & ~int64_t(7); }
  int64_t Position() const { return pos_; }
  void SetPosition(int64_t p) { pos_ = p; }
  int64_t TotalBits() const { return totalBits_; }

 private:
  const uint8_t* in_;
  int64_t size_;
  int64_t totalBits_;
  int64_t pos_ = 0;
};

void FillBlack(uint8_t* row, int64_t s, int64_t e) {
  if (s >= e) return;
  const int64_t sb = s >> 3, eb = (e - 1) >> 3;
  const uint8_t sm = uint8_t(0xFF >> (s & 7));
  const uint8_t em = uint8_t(0xFF << (7 - ((e - 1) & 7)));
  if (sb == eb) {
    row[sb] |= uint8_t(sm & em);
    return;
  }
  row[sb] |= sm;
  if (eb - sb > 1) std::memset(row + sb + 1, 0xFF, size_t(eb - sb - 1));
  row[eb] |= em;
}

enum class TRowResult { kOk, kBad, kEnd };

class TDecoder {
 public:
  TDecoder(const uint8_t* in, int64_t size, const TCcittOptions& o)
      : bits_(in, size), o_(o), width_(o.Width), tables_(Tables()) {
    ref_.reserve(size_t(std::min<int64_t>(width_, 1 << 16)) + 4);
    cur_.reserve(ref_.capacity());
    SetRefWhite();
  }

  TCcittResult Run(int64_t rows, uint8_t* out, int64_t rowBytes) {
    TCcittResult r;
    const int64_t used = (width_ + 7) / 8;
    for (int64_t y = 0; y < rows; ++y) {
      if (bits_.Exhausted()) {
        r.Status = TCcittStatus::kEndOfData;
        return r;
      }
      TRowResult rr = TRowResult::kOk;
      cur_.clear();
      switch (o_.Scheme) {
        case TCcittScheme::kModifiedHuffman:
          if (y > 0) bits_.AlignToByte();
          rr = bits_.Exhausted() ? TRowResult::kEnd : Row1D();
          break;
        case TCcittScheme::kGroup3: {
          if (SkipEol() && AtEol()) {  // two end-of-line codes in a row: end of the page
            r.Status = TCcittStatus::kEndOfData;
            return r;
          }
          if (bits_.Exhausted()) {
            r.Status = TCcittStatus::kEndOfData;
            return r;
          }
          {
            if (o_.TwoDimensional) {
              const bool oneD = bits_.Peek(1) != 0;
              bits_.Skip(1);
              rr = oneD ? Row1D() : Row2D();
            } else {
              rr = Row1D();
            }
          }
          break;
        }
        case TCcittScheme::kGroup4:
          rr = Row2D();
          break;
      }
      if (rr == TRowResult::kEnd && cur_.empty()) {
        // Nothing of this row was there (Group 4's end-of-block code).
        r.Status = TCcittStatus::kEndOfData;
        return r;
      }
      // A row cut short ends white where decoding stopped.
      if (rr != TRowResult::kOk && (cur_.size() & 1) != 0) cur_.push_back(cur_.back());
      uint8_t* row = out + y * rowBytes;
      std::memset(row, 0, size_t(used));
      Render(row);
      ++r.Rows;
      if (rr == TRowResult::kEnd || bits_.Overrun()) {
        // A row cut off by the end of the data: what was decoded stays.
        r.Status = TCcittStatus::kEndOfData;
        return r;
      }
      if (rr == TRowResult::kBad) {
        ++r.BadRows;
        if (o_.Scheme != TCcittScheme::kGroup3 || r.BadRows >= kMaxBadRows || !Resync()) {
          r.Status = TCcittStatus::kBad;
          return r;
        }
        SetRefWhite();
        continue;
      }
      SwapLines();
    }
    return r;
  }

 private:
  void SetRefWhite() {
    ref_.clear();
    for (int i = 0; i < 3; ++i) ref_.push_back(width_);
  }
  void SwapLines() {
    ref_.swap(cur_);
    for (int i = 0; i < 3; ++i) ref_.push_back(width_);
  }
  // Black spans are [c0, c1), [c2, c3), ...: the line starts white.
  void Render(uint8_t* row) const {
    for (size_t k = 0; k < cur_.size(); k += 2) {
      const int64_t e = k + 1 < cur_.size() ? cur_[k + 1] : width_;
      FillBlack(row, cur_[k], e);
    }
  }

  bool AtEol() const { return bits_.Peek(11) == 0 && !bits_.Exhausted(); }
  // Consumes an end-of-line code (with any fill zeros before it) when one comes next.
  bool SkipEol() {
    if (!AtEol()) return false;
    while (!bits_.Exhausted() && bits_.Peek(1) == 0) bits_.Skip(1);
    bits_.Skip(1);
    return true;
  }
  // Moves to the next end-of-line code (not consuming it); false when none is left.
  bool Resync() {
    int zeros = 0;
    while (!bits_.Exhausted()) {
      if (bits_.Peek(1) == 0) {
        ++zeros;
      } else if (zeros >= 11) {
        bits_.SetPosition(bits_.Position() - 11);
        return true;
      } else {
        zeros = 0;
      }
      bits_.Skip(1);
    }
    return false;
  }

  // A run of one colour: makeup codes, then a terminating code. -1: bad code.
  int64_t ReadRun(int colour) {
    int64_t total = 0;
    for (;;) {
      if (bits_.Overrun()) return -1;
      const TRunEntry e = tables_.Colour[colour][bits_.Peek(kLookupBits)];
      if (e.Length == 0) return -1;
      bits_.Skip(e.Length);
      total += e.Run;
      if (e.Run < 64) return total;
      // Makeup codes alone could go on for ever; no line is that long.
      if (total > width_ + 2560) return -1;
    }
  }

  TRowResult Row1D() {
    cur_.clear();
    int64_t a0 = 0;
    int colour = 0;
    while (a0 < width_) {
      const int64_t run = ReadRun(colour);
      if (run < 0) return bits_.Overrun() ? TRowResult::kEnd : TRowResult::kBad;
      const int64_t a1 = std::min(a0 + run, width_);
      cur_.push_back(a1);
      a0 = a1;
      colour ^= 1;
    }
    return TRowResult::kOk;
  }

  TRowResult Row2D() {
    cur_.clear();
    int64_t a0 = -1;
    int colour = 0;
    size_t j = 0;  // first reference change right of a0
    while (a0 < width_) {
      if (bits_.Overrun()) return TRowResult::kEnd;
      while (ref_[j] <= a0) ++j;  // the last entry is width > a0
      const size_t b1i = ((j & 1) == size_t(colour)) ? j : j + 1;
      const int64_t b1 = ref_[std::min(b1i, ref_.size() - 1)];
      const int64_t b2 = ref_[std::min(b1i + 1, ref_.size() - 1)];
      const uint32_t v = bits_.Peek(7);
      const int64_t start = std::max<int64_t>(a0, 0);
      if (v & 0x40) {  // 1: V0
        bits_.Skip(1);
        if (!Vertical(a0, colour, b1)) return TRowResult::kBad;
      } else if ((v >> 4) == 3) {  // 011: VR1
        bits_.Skip(3);
        if (!Vertical(a0, colour, b1 + 1)) return TRowResult::kBad;
      } else if ((v >> 4) == 2) {  // 010: VL1
        bits_.Skip(3);
        if (!Vertical(a0, colour, b1 - 1)) return TRowResult::kBad;
      } else if ((v >> 4) == 1) {  // 001: horizontal
        bits_.Skip(3);
        const int64_t r1 = ReadRun(colour);
        if (r1 < 0) return bits_.Overrun() ? TRowResult::kEnd : TRowResult::kBad;
        const int64_t r2 = ReadRun(colour ^ 1);
        if (r2 < 0) return bits_.Overrun() ? TRowResult::kEnd : TRowResult::kBad;
        const int64_t a1 = std::min(start + r1, width_);
        const int64_t a2 = std::min(a1 + r2, width_);
        cur_.push_back(a1);
        cur_.push_back(a2);
        a0 = a2;
      } else if ((v >> 3) == 1) {  // 0001: pass
        bits_.Skip(4);
        a0 = std::min(b2, width_);
        if (a0 < start) return TRowResult::kBad;
      } else if ((v >> 1) == 3) {  // 000011: VR2
        bits_.Skip(6);
        if (!Vertical(a0, colour, b1 + 2)) return TRowResult::kBad;
      } else if ((v >> 1) == 2) {  // 000010: VL2
        bits_.Skip(6);
        if (!Vertical(a0, colour, b1 - 2)) return TRowResult::kBad;
      } else if (v == 3) {  // 0000011: VR3
        bits_.Skip(7);
        if (!Vertical(a0, colour, b1 + 3)) return TRowResult::kBad;
      } else if (v == 2) {  // 0000010: VL3
        bits_.Skip(7);
        if (!Vertical(a0, colour, b1 - 3)) return TRowResult::kBad;
      } else {
        // 0000001xxx: extensions (uncompressed mode), not supported;
        // 0000000...: an end-of-line code: end of data in Group 4 (EOFB),
        // a row cut short in Group 3.
        if (v == 0 && AtEol()) return TRowResult::kEnd;
        return bits_.Overrun() ? TRowResult::kEnd : TRowResult::kBad;
      }
    }
    return TRowResult::kOk;
  }

  // A vertical mode: the next change at a1; a change left of a0 cannot be.
  bool Vertical(int64_t& a0, int& colour, int64_t a1) {
    if (a1 < std::max<int64_t>(a0, 0)) return false;
    a1 = std::min(a1, width_);
    cur_.push_back(a1);
    a0 = a1;
    colour ^= 1;
    return true;
  }

  TBitReader bits_;
  TCcittOptions o_;
  int64_t width_;
  const TRunTables& tables_;
  std::vector<int64_t> ref_;
  std::vector<int64_t> cur_;
};

}  // namespace

TCcittResult DecodeCcitt(const uint8_t* in, int64_t inSize, const TCcittOptions& options, int64_t rows, uint8_t* out,
                         int64_t rowBytes) {
  TCcittResult r;
  if (in == nullptr || inSize <= 0 || options.Width <= 0 || rows <= 0 || rowBytes < (options.Width + 7) / 8) {
    r.Status = TCcittStatus::kEndOfData;
    return r;
  }
  TDecoder decoder(in, inSize, options);
  return decoder.Run(rows, out, rowBytes);
}

bool CcittRunCode(bool black, int run, TCcittCode& code) {
  auto find = [&](const TCodeText* begin, const TCodeText* end) {
    for (const TCodeText* c = begin; c != end; ++c) {
      if (c->Run != run) continue;
      code.Length = int(std::strlen(c->Bits));
      code.Code = 0;
      for (int i = 0; i < code.Length; ++i) code.Code = uint16_t((code.Code << 1) | (c->Bits[i] == '1'));
      return true;
    }
    return false;
  };
  if (black ? find(std::begin(kBlackCodes), std::end(kBlackCodes))
            : find(std::begin(kWhiteCodes), std::end(kWhiteCodes)))
    return true;
  return find(std::begin(kExtendedMakeup), std::end(kExtendedMakeup));
}

}  // namespace rv
