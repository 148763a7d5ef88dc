// TIFF files written tag by tag for the reader tests: TPage holds a page's
// tags and strips, TTiffWriter writes the pages (strip data first, then each
// directory), and the helpers make tags, basic pages and sample data.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace rv::testing_support::tiff {

using TBytes = std::vector<uint8_t>;

enum : uint16_t { kByte = 1, kAscii = 2, kShort = 3, kLong = 4, kRational = 5, kUndefined = 7 };

struct TTag {
  uint16_t Tag, Type;
  std::vector<uint32_t> Values;  // numbers (rationals as numerator, denominator pairs)
  TBytes Bytes;                  // for BYTE, ASCII and UNDEFINED
  uint32_t ForcedCount = 0;      // non-zero: written as the count instead of the real one
};

struct TPage {
  std::vector<TTag> Tags;
  std::vector<TBytes> Strips;  // written in order; tag 273 / 279 (or 324 / 325) filled in
  bool Tiled = false;
  bool NoByteCounts = false;
};

// Writes a classic TIFF: header, strip data, then each page's directory with
// its out-of-line values.
class TTiffWriter {
 public:
  explicit TTiffWriter(bool bigEndian = false) : be_(bigEndian) {}
  // When set, the last directory's next offset points back at the first (a loop).
  bool Loop = false;

  TBytes Build(std::vector<TPage> pages) {
    out_.clear();
    out_.push_back(be_ ? 'M' : 'I');
    out_.push_back(be_ ? 'M' : 'I');
    Put16(42);
    const size_t firstAt = out_.size();
    Put32(0);
    size_t prevNext = firstAt;
    size_t firstDir = 0;
    for (TPage& p : pages) {
      std::vector<uint32_t> offsets, counts;
      for (const TBytes& s : p.Strips) {
        offsets.push_back(uint32_t(out_.size()));
        counts.push_back(uint32_t(s.size()));
        out_.insert(out_.end(), s.begin(), s.end());
      }
      if (!p.Strips.empty()) {
        p.Tags.push_back({uint16_t(p.Tiled ? 324 : 273), kLong, offsets, {}});
        if (!p.NoByteCounts) p.Tags.push_back({uint16_t(p.Tiled ? 325 : 279), kLong, counts, {}});
      }
      std::sort(p.Tags.begin(), p.Tags.end(), [](const TTag& a, const TTag& b) { return a.Tag < b.Tag; });
      // Out-of-line values first, then the directory.
      std::vector<uint32_t> valueAt(p.Tags.size(), 0);
      for (size_t i = 0; i < p.Tags.size(); ++i) {
        const TBytes v = Value(p.Tags[i]);
        if (v.size() > 4) {
          if (out_.size() & 1) out_.push_back(0);
          valueAt[i] = uint32_t(out_.size());
          out_.insert(out_.end(), v.begin(), v.end());
        }
      }
      if (out_.size() & 1) out_.push_back(0);
      const uint32_t dirAt = uint32_t(out_.size());
      if (firstDir == 0) firstDir = dirAt;
      Patch32(prevNext, dirAt);
      Put16(uint16_t(p.Tags.size()));
      for (size_t i = 0; i < p.Tags.size(); ++i) {
        const TTag& t = p.Tags[i];
        const TBytes v = Value(t);
        Put16(t.Tag);
        Put16(t.Type);
        Put32(t.ForcedCount ? t.ForcedCount : Count(t));
        if (v.size() > 4) {
          Put32(valueAt[i]);
        } else {
          TBytes inl = v;
          inl.resize(4, 0);
          out_.insert(out_.end(), inl.begin(), inl.end());
        }
      }
      prevNext = out_.size();
      Put32(0);
    }
    if (Loop) Patch32(prevNext, uint32_t(firstDir));
    return out_;
  }

 private:
  static uint32_t Count(const TTag& t) {
    if (!t.Bytes.empty()) return uint32_t(t.Bytes.size());
    return t.Type == kRational ? uint32_t(t.Values.size() / 2) : uint32_t(t.Values.size());
  }
  TBytes Value(const TTag& t) const {
    if (!t.Bytes.empty()) return t.Bytes;
    TBytes v;
    for (uint32_t x : t.Values) {
      if (t.Type == kShort) {
        Append16(v, uint16_t(x));
      } else {
        Append32(v, x);
      }
    }
    return v;
  }
  void Append16(TBytes& v, uint16_t x) const {
    if (be_) {
      v.push_back(uint8_t(x >> 8));
      v.push_back(uint8_t(x));
    } else {
      v.push_back(uint8_t(x));
      v.push_back(uint8_t(x >> 8));
    }
  }
  void Append32(TBytes& v, uint32_t x) const {
    if (be_) {
      Append16(v, uint16_t(x >> 16));
      Append16(v, uint16_t(x));
    } else {
      Append16(v, uint16_t(x));
      Append16(v, uint16_t(x >> 16));
    }
  }
  void Put16(uint16_t x) { Append16(out_, x); }
  void Put32(uint32_t x) { Append32(out_, x); }
  void Patch32(size_t at, uint32_t x) {
    TBytes v;
    Append32(v, x);
    std::memcpy(&out_[at], v.data(), 4);
  }
  bool be_;
  TBytes out_;
};

inline TTag Short(uint16_t tag, std::vector<uint32_t> v) {
  return {tag, kShort, std::move(v), {}};
}
inline TTag Long(uint16_t tag, std::vector<uint32_t> v) {
  return {tag, kLong, std::move(v), {}};
}
inline TTag Ascii(uint16_t tag, const std::string& s) {
  TBytes b(s.begin(), s.end());
  b.push_back(0);
  return {tag, kAscii, {}, b};
}

// A page of width × height with the basic tags; the caller adds strips.
inline TPage Basic(uint32_t width, uint32_t height, uint32_t bits, uint32_t spp, uint32_t photometric,
                   uint32_t compression = 1, uint32_t rowsPerStrip = 0) {
  TPage p;
  p.Tags = {Long(256, {width}),        Long(257, {height}),       Short(258, std::vector<uint32_t>(spp, bits)),
            Short(259, {compression}), Short(262, {photometric}), Short(277, {spp})};
  if (rowsPerStrip) p.Tags.push_back(Long(278, {rowsPerStrip}));
  return p;
}

inline TBytes Gradient(int width, int height, int spp, int seed = 0) {
  TBytes b(size_t(width * height * spp));
  for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i * 7 + seed);
  return b;
}

// Literal codes only, with a clear code every 200 codes so the width stays 9.
inline TBytes LzwLiterals(const TBytes& data) {
  TBytes out;
  uint32_t acc = 0;
  int bits = 0;
  auto put = [&](int code) {
    acc = (acc << 9) | uint32_t(code);
    bits += 9;
    while (bits >= 8) {
      out.push_back(uint8_t(acc >> (bits - 8)));
      bits -= 8;
    }
  };
  for (size_t i = 0; i < data.size(); ++i) {
    if (i % 200 == 0) put(256);
    put(data[i]);
  }
  put(257);
  if (bits) out.push_back(uint8_t(acc << (8 - bits)));
  return out;
}

inline TTag& TagOf(TPage& p, uint16_t tag) {
  for (TTag& t : p.Tags)
    if (t.Tag == tag) return t;
  p.Tags.push_back({tag, kLong, {0}, {}});
  return p.Tags.back();
}

}  // namespace rv::testing_support::tiff
