#include "imaging/pxquantizer.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "imaging/pxbitmap.h"
#include "imaging/pxcolor.h"

namespace rv {

namespace {

inline uint32_t PackRGB(uint8_t r, uint8_t g, uint8_t b) {
  return uint32_t(b) | (uint32_t(g) << 8) | (uint32_t(r) << 16);
}

// Cell of the 6-bit-per-channel grid that both the histogram and the
// nearest-entry cache are indexed by.
inline int Cell6(uint8_t r, uint8_t g, uint8_t b) {
  return ((r >> 2) << 12) | ((g >> 2) << 6) | (b >> 2);
}

// Reads the rows of a pxRGB24 source, in any order, without writing them back
// to a file store. Heap rows are walked in address order (bottom-up).
template <typename Fn>
void ForEachSourceRow(TPxBitmap& source, Fn&& fn) {
  const TPxAccessGuard guard(source, kAccessRead);
  const int w = source.Width(), h = source.Height();
  const bool upward = source.Location() == pxInMemory;
  for (int i = 0; i < h; ++i) fn(source.RowPointer(upward ? h - 1 - i : i), w);
}

// ---- variance-minimising box cut on a 6-bit histogram --------------------

struct TMoments {
  int64_t w = 0, r = 0, g = 0, b = 0, m2 = 0;
  TMoments& operator+=(const TMoments& o) {
    w += o.w, r += o.r, g += o.g, b += o.b, m2 += o.m2;
    return *this;
  }
  TMoments& operator-=(const TMoments& o) {
    w -= o.w, r -= o.r, g -= o.g, b -= o.b, m2 -= o.m2;
    return *this;
  }
  // Sum of squared means times weight: larger is a tighter split.
  double Spread() const { return (double(r) * r + double(g) * g + double(b) * b) / double(w); }
  double Variance() const { return double(m2) - Spread(); }
};

// Boxes cover cells (lo, hi] per axis (0 = red, 1 = green, 2 = blue) of a
// 65^3 table of cumulative moments whose index 0 is an empty border.
struct TBox {
  int lo[3] = {0, 0, 0};
  int hi[3] = {64, 64, 64};
  int64_t Cells() const { return int64_t(hi[0] - lo[0]) * (hi[1] - lo[1]) * (hi[2] - lo[2]); }
};

class TWuCutter {
 public:
  static constexpr int kSide = 65;

  TWuCutter() : m_(size_t(kSide) * kSide * kSide) {}

  void Add(uint8_t r, uint8_t g, uint8_t b, int64_t count) {
    TMoments& c = At((r >> 2) + 1, (g >> 2) + 1, (b >> 2) + 1);
    c.w += count;
    c.r += int64_t(r) * count;
    c.g += int64_t(g) * count;
    c.b += int64_t(b) * count;
    c.m2 += int64_t(r * r + g * g + b * b) * count;
  }

  // Turns the histogram into cumulative sums so any box's moments cost 8 reads.
  void Accumulate() {
    for (int r = 1; r < kSide; ++r)
      for (int g = 1; g < kSide; ++g)
        for (int b = 1; b < kSide; ++b) At(r, g, b) += At(r, g, b - 1);
    for (int r = 1; r < kSide; ++r)
      for (int g = 1; g < kSide; ++g)
        for (int b = 1; b < kSide; ++b) At(r, g, b) += At(r, g - 1, b);
    for (int r = 1; r < kSide; ++r)
      for (int g = 1; g < kSide; ++g)
        for (int b = 1; b < kSide; ++b) At(r, g, b) += At(r - 1, g, b);
  }

  // Cuts up to `count` boxes; returns their mean colours (fewer when the
  // occupied cells run out).
  std::vector<TColorBGR> Cut(int count) {
    std::vector<TBox> boxes(static_cast<size_t>(count));
    std::vector<double> score(size_t(count), 0.0);
    int n = 1;
    score[0] = Volume(boxes[0]).Variance();
    int next = 0;
    while (n < count) {
      if (Split(boxes[size_t(next)], boxes[size_t(n)])) {
        score[size_t(next)] = Score(boxes[size_t(next)]);
        score[size_t(n)] = Score(boxes[size_t(n)]);
        ++n;
      } else {
        score[size_t(next)] = 0.0;  // one cell or one colour: cannot be cut
      }
      next = int(std::max_element(score.begin(), score.begin() + n) - score.begin());
      if (score[size_t(next)] <= 0.0) break;
    }
    std::vector<TColorBGR> colors;
    colors.reserve(size_t(n));
    for (int i = 0; i < n; ++i) {
      const TMoments v = Volume(boxes[size_t(i)]);
      auto mean = [&](int64_t sum) { return uint8_t((sum + v.w / 2) / v.w); };
      colors.push_back(MakeBGR(mean(v.r), mean(v.g), mean(v.b)));
    }
    return colors;
  }

 private:
  TMoments& At(int r, int g, int b) { return m_[(size_t(r) * kSide + size_t(g)) * kSide + size_t(b)]; }
  const TMoments& At(int r, int g, int b) const { return m_[(size_t(r) * kSide + size_t(g)) * kSide + size_t(b)]; }

  TMoments Volume(const TBox& c) const {
    TMoments v = At(c.hi[0], c.hi[1], c.hi[2]);
    v -= At(c.hi[0], c.hi[1], c.lo[2]);
    v -= At(c.hi[0], c.lo[1], c.hi[2]);
    v += At(c.hi[0], c.lo[1], c.lo[2]);
    v -= At(c.lo[0], c.hi[1], c.hi[2]);
    v += At(c.lo[0], c.hi[1], c.lo[2]);
    v += At(c.lo[0], c.lo[1], c.hi[2]);
    v -= At(c.lo[0], c.lo[1], c.lo[2]);
    return v;
  }

  double Score(const TBox& c) const { return c.Cells() > 1 ? Volume(c).Variance() : 0.0; }

  // Splits `box` at the plane that leaves the least variance in its two
  // halves; the upper half goes to `upper`. False when no plane has pixels on
  // both sides.
  bool Split(TBox& box, TBox& upper) const {
    const TMoments whole = Volume(box);
    double best = -1.0;
    int bestAxis = -1, bestCut = 0;
    for (int axis = 0; axis < 3; ++axis) {
      for (int cut = box.lo[axis] + 1; cut < box.hi[axis]; ++cut) {
        TBox lower = box;
        lower.hi[axis] = cut;
        const TMoments half = Volume(lower);
        if (half.w == 0 || half.w == whole.w) continue;
        TMoments rest = whole;
        rest -= half;
        const double s = half.Spread() + rest.Spread();
        if (s > best) {
          best = s;
          bestAxis = axis;
          bestCut = cut;
        }
      }
    }
    if (bestAxis < 0) return false;
    upper = box;
    upper.lo[bestAxis] = bestCut;
    box.hi[bestAxis] = bestCut;
    return true;
  }

  std::vector<TMoments> m_;
};

}  // namespace

// ---- colour -> index table ------------------------------------------------

// Open addressing on the packed colour; grows so it is never more than half full.
class TPxQuantizer::TColorTable {
 public:
  explicit TColorTable(int bits) { Resize(bits); }

  int Find(uint32_t rgb) const {
    const uint32_t key = rgb | kUsed;
    for (uint32_t i = Slot(rgb);; i = (i + 1) & mask_) {
      if (keys_[i] == key) return values_[i];
      if (keys_[i] == 0) return -1;
    }
  }
  // Keeps the first value given for a colour.
  void Insert(uint32_t rgb, int value) {
    if (2 * (size_ + 1) > keys_.size()) Grow();
    const uint32_t key = rgb | kUsed;
    for (uint32_t i = Slot(rgb);; i = (i + 1) & mask_) {
      if (keys_[i] == key) return;
      if (keys_[i] == 0) {
        keys_[i] = key;
        values_[i] = value;
        ++size_;
        return;
      }
    }
  }

 private:
  static constexpr uint32_t kUsed = 0x01000000;
  uint32_t Slot(uint32_t rgb) const { return (rgb * 0x9E3779B1u) >> shift_; }
  void Resize(int bits) {
    bits_ = bits;
    shift_ = 32 - bits;
    mask_ = (1u << bits) - 1;
    keys_.assign(size_t(1) << bits, 0);
    values_.assign(size_t(1) << bits, 0);
    size_ = 0;
  }
  void Grow() {
    std::vector<uint32_t> keys = std::move(keys_);
    std::vector<int32_t> values = std::move(values_);
    Resize(bits_ + 1);
    for (size_t i = 0; i < keys.size(); ++i)
      if (keys[i]) Insert(keys[i] & ~kUsed, values[i]);
  }

  int bits_ = 0;
  int shift_ = 0;
  uint32_t mask_ = 0;
  size_t size_ = 0;
  std::vector<uint32_t> keys_;
  std::vector<int32_t> values_;
};

// ---- construction -----------------------------------------------------------

TPxQuantizer::TPxQuantizer(TPxBitmap& source, int colorCount, std::vector<TColorBGR>& palette) {
  count_ = std::clamp(colorCount, 1, 256);
  const TPxBitmapFormat f = source.Format();
  if (f == pxPalette8) {
    UseSourcePalette(source);
  } else if (f != pxRGB24 || source.HasOnlyGrays()) {
    UseGrayRamp();
  } else if (!CollectExactColors(source)) {
    Reduce(source);
  }
  palette = palette_;
}

TPxQuantizer::~TPxQuantizer() = default;

void TPxQuantizer::UseSourcePalette(TPxBitmap& source) {
  palette_.assign(size_t(count_), TColorBGR{});
  for (int i = 0; i < count_; ++i) source.GetPaletteEntry(i, palette_[size_t(i)]);
  table_ = std::make_unique<TColorTable>(10);
  for (int i = 0; i < count_; ++i)
    table_->Insert(PackRGB(palette_[size_t(i)].r, palette_[size_t(i)].g, palette_[size_t(i)].b), i);
  mode_ = TMode::Table;
}

void TPxQuantizer::UseGrayRamp() {
  palette_.resize(size_t(count_));
  for (int i = 0; i < count_; ++i) {
    const uint8_t g = uint8_t(256 * i / count_);
    palette_[size_t(i)] = MakeBGR(g, g, g);
  }
  mode_ = TMode::Gray;
}

// Distinct colours in order of first appearance; false as soon as there are
// more than the palette can take.
bool TPxQuantizer::CollectExactColors(TPxBitmap& source) {
  auto table = std::make_unique<TColorTable>(10);
  std::vector<TColorBGR> colors;
  bool fits = true;
  const TPxAccessGuard guard(source, kAccessRead);
  const int w = source.Width(), h = source.Height();
  uint32_t last = 0xFFFFFFFF;
  for (int y = 0; y < h && fits; ++y) {
    const uint8_t* p = source.RowPointer(y);
    for (int x = 0; x < w; ++x, p += 3) {
      const uint32_t rgb = PackRGB(p[2], p[1], p[0]);
      if (rgb == last) continue;
      last = rgb;
      if (table->Find(rgb) >= 0) continue;
      if (int(colors.size()) == count_) {
        fits = false;
        break;
      }
      table->Insert(rgb, int(colors.size()));
      colors.push_back(TColorBGR{p[0], p[1], p[2]});
    }
  }
  if (!fits) return false;
  palette_ = std::move(colors);
  table_ = std::move(table);
  mode_ = TMode::Table;
  return true;
}

void TPxQuantizer::Reduce(TPxBitmap& source) {
  auto wu = std::make_unique<TWuCutter>();
  ForEachSourceRow(source, [&](const uint8_t* p, int w) {
    // Runs of equal pixels are common in pictures; count them at once.
    int x = 0;
    while (x < w) {
      int run = 1;
      while (x + run < w && std::memcmp(p + 3 * x, p + 3 * (x + run), 3) == 0) ++run;
      wu->Add(p[3 * x + 2], p[3 * x + 1], p[3 * x], run);
      x += run;
    }
  });
  wu->Accumulate();
  palette_ = wu->Cut(count_);
  wu.reset();
  mode_ = TMode::Reduced;
  if (int(palette_.size()) < count_) CutExactColors(source);
}

// For pictures whose colours fill fewer 6-bit cells than entries requested:
// there are then fewer than 64 * count distinct colours, so a median cut on
// the exact colours is cheap and can always go on to `count` boxes.
void TPxQuantizer::CutExactColors(TPxBitmap& source) {
  struct TEntry {
    uint8_t c[3];  // r, g, b
    uint64_t n;
  };
  std::vector<TEntry> colors;
  auto index = std::make_unique<TColorTable>(12);
  ForEachSourceRow(source, [&](const uint8_t* p, int w) {
    for (int x = 0; x < w; ++x, p += 3) {
      const uint32_t rgb = PackRGB(p[2], p[1], p[0]);
      int i = index->Find(rgb);
      if (i < 0) {
        i = int(colors.size());
        index->Insert(rgb, i);
        colors.push_back(TEntry{{p[2], p[1], p[0]}, 0});
      }
      ++colors[size_t(i)].n;
    }
  });

  struct TSpan {
    size_t begin, end;
    double sse;
  };
  auto measure = [&](size_t begin, size_t end) {
    double w = 0, s[3] = {0, 0, 0}, s2 = 0;
    for (size_t i = begin; i < end; ++i) {
      const double n = double(colors[i].n);
      w += n;
      for (int k = 0; k < 3; ++k) {
        s[k] += n * colors[i].c[k];
        s2 += n * colors[i].c[k] * colors[i].c[k];
      }
    }
    return TSpan{begin, end, s2 - (s[0] * s[0] + s[1] * s[1] + s[2] * s[2]) / w};
  };
  std::vector<TSpan> spans{measure(0, colors.size())};
  while (int(spans.size()) < count_) {
    // The span with the largest squared error that still holds two colours.
    int pick = -1;
    for (int i = 0; i < int(spans.size()); ++i)
      if (spans[size_t(i)].end - spans[size_t(i)].begin >= 2 &&
          (pick < 0 || spans[size_t(i)].sse > spans[size_t(pick)].sse))
        pick = i;
    if (pick < 0) break;
    const TSpan span = spans[size_t(pick)];
    int axis = 0, widest = -1;
    for (int k = 0; k < 3; ++k) {
      uint8_t lo = 255, hi = 0;
      for (size_t i = span.begin; i < span.end; ++i) {
        lo = std::min(lo, colors[i].c[k]);
        hi = std::max(hi, colors[i].c[k]);
      }
      if (hi - lo > widest) {
        widest = hi - lo;
        axis = k;
      }
    }
    std::sort(colors.begin() + ptrdiff_t(span.begin), colors.begin() + ptrdiff_t(span.end),
              [axis](const TEntry& a, const TEntry& b) { return a.c[axis] < b.c[axis]; });
    uint64_t total = 0, below = 0;
    for (size_t i = span.begin; i < span.end; ++i) total += colors[i].n;
    size_t cut = span.begin + 1;
    for (size_t i = span.begin; i < span.end - 1; ++i) {
      below += colors[i].n;
      cut = i + 1;
      if (2 * below >= total) break;
    }
    spans[size_t(pick)] = measure(span.begin, cut);
    spans.push_back(measure(cut, span.end));
  }

  palette_.clear();
  for (const TSpan& s : spans) {
    uint64_t w = 0, sum[3] = {0, 0, 0};
    for (size_t i = s.begin; i < s.end; ++i) {
      w += colors[i].n;
      for (int k = 0; k < 3; ++k) sum[k] += colors[i].n * colors[i].c[k];
    }
    auto mean = [&](uint64_t v) { return uint8_t((v + w / 2) / w); };
    palette_.push_back(MakeBGR(mean(sum[0]), mean(sum[1]), mean(sum[2])));
  }
  // Cannot happen with more distinct colours than entries; keeps the size promise regardless.
  while (int(palette_.size()) < count_) palette_.push_back(palette_.back());

  auto table = std::make_unique<TColorTable>(12);
  for (const TEntry& e : colors)
    table->Insert(PackRGB(e.c[0], e.c[1], e.c[2]), Nearest(2 * e.c[0], 2 * e.c[1], 2 * e.c[2]));
  table_ = std::move(table);
  mode_ = TMode::Table;
}

// ---- lookup -----------------------------------------------------------------

// Arguments are doubled channel values, so cell centres (x.5) stay integers.
int TPxQuantizer::Nearest(int r2, int g2, int b2) const {
  int best = 0, bestDist = 1 << 30;
  for (int i = 0; i < int(palette_.size()); ++i) {
    const TColorBGR& e = palette_[size_t(i)];
    const int dr = 2 * e.r - r2, dg = 2 * e.g - g2, db = 2 * e.b - b2;
    const int d = dr * dr + dg * dg + db * db;
    if (d < bestDist) {
      bestDist = d;
      best = i;
    }
  }
  return best;
}

int TPxQuantizer::CachedNearest(TColorBGR c) {
  if (cache_.empty()) cache_.assign(size_t(1) << 18, -1);
  const int cell = Cell6(c.r, c.g, c.b);
  int16_t& slot = cache_[size_t(cell)];
  if (slot < 0) slot = int16_t(Nearest(8 * (c.r >> 2) + 3, 8 * (c.g >> 2) + 3, 8 * (c.b >> 2) + 3));
  return slot;
}

int TPxQuantizer::IndexOf(TColorBGR color) {
  switch (mode_) {
    case TMode::Gray:
      return ((Gray8Of(color) + 1) * count_ + 255) / 256 - 1;  // last entry not above the gray
    case TMode::Table: {
      const int i = table_->Find(PackRGB(color.r, color.g, color.b));
      return i >= 0 ? i : CachedNearest(color);
    }
    case TMode::Reduced:
      return CachedNearest(color);
  }
  return 0;
}

void TPxQuantizer::IndexRow(const uint8_t* bgr, uint8_t* indices, int count) {
  switch (mode_) {
    case TMode::Gray:
      for (int x = 0; x < count; ++x, bgr += 3)
        indices[x] = uint8_t(((Gray8OfRGB(bgr[2], bgr[1], bgr[0]) + 1) * count_ + 255) / 256 - 1);
      break;
    case TMode::Table:
      for (int x = 0; x < count; ++x, bgr += 3) {
        const int i = table_->Find(PackRGB(bgr[2], bgr[1], bgr[0]));
        indices[x] = uint8_t(i >= 0 ? i : CachedNearest(TColorBGR{bgr[0], bgr[1], bgr[2]}));
      }
      break;
    case TMode::Reduced: {
      if (cache_.empty()) cache_.assign(size_t(1) << 18, -1);
      int16_t* cache = cache_.data();
      for (int x = 0; x < count; ++x, bgr += 3) {
        const int cell = Cell6(bgr[2], bgr[1], bgr[0]);
        int v = cache[cell];
        if (v < 0)
          v = cache[cell] = int16_t(Nearest(8 * (bgr[2] >> 2) + 3, 8 * (bgr[1] >> 2) + 3, 8 * (bgr[0] >> 2) + 3));
        indices[x] = uint8_t(v);
      }
      break;
    }
  }
}

}  // namespace rv
