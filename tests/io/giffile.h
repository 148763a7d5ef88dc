// GIF files written byte by byte for the reader tests: TGif holds the screen,
// the tables and the frames, Bytes() writes them with literal-only LZW data.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace rv::testing_support::gif {

using TRgb = std::array<uint8_t, 3>;

// LZW data that holds only single indices: a clear code whenever the next
// index would need a wider code, so every code has the minimum width + 1.
inline std::vector<uint8_t> LiteralLzw(int minCodeSize, const std::vector<uint8_t>& indices) {
  std::vector<uint8_t> out;
  int64_t bit = 0;
  const int width = minCodeSize + 1;
  auto put = [&](uint32_t code) {
    for (int i = 0; i < width; ++i, ++bit) {
      if (bit % 8 == 0) out.push_back(0);
      if (code >> i & 1) out.back() |= uint8_t(1 << (bit % 8));
    }
  };
  const uint32_t clear = 1u << minCodeSize;
  const size_t perClear = clear - 2;
  for (size_t i = 0; i < indices.size(); ++i) {
    if (i % perClear == 0) put(clear);
    put(indices[i]);
  }
  put(clear + 1);
  return out;
}

struct TFrame {
  int Left = 0, Top = 0, Width = 1, Height = 1;
  std::vector<uint8_t> Indices;  // row-major, picture order
  std::vector<TRgb> Local;       // a local table when not empty (2^n entries)
  bool Interlaced = false;
  bool Control = false;  // write a graphic control extension
  int Disposal = 0;
  bool Transparent = false;
  uint8_t TransparentIndex = 0;
  uint16_t Delay = 0;
  int MinCodeSize = 0;  // 0: from the table size
};

inline int TableBits(size_t entries) {
  int n = 1;
  while ((size_t(1) << n) < entries) ++n;
  return n;
}

struct TGif {
  int ScreenWidth = 4, ScreenHeight = 4;
  std::vector<TRgb> Global;
  uint8_t BackgroundIndex = 0;
  std::vector<std::vector<std::string>> Comments;  // blocks of sub-blocks, before the images
  std::vector<TFrame> Frames;

  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> b = {'G', 'I', 'F', '8', '9', 'a'};
    auto le16 = [&](int v) {
      b.push_back(uint8_t(v));
      b.push_back(uint8_t(v >> 8));
    };
    auto table = [&](const std::vector<TRgb>& t) {
      for (const TRgb& c : t) b.insert(b.end(), c.begin(), c.end());
    };
    le16(ScreenWidth);
    le16(ScreenHeight);
    b.push_back(Global.empty() ? 0 : uint8_t(0x80 | (TableBits(Global.size()) - 1)));
    b.push_back(BackgroundIndex);
    b.push_back(0);
    table(Global);
    for (const auto& block : Comments) {
      b.insert(b.end(), {0x21, 0xFE});
      for (const std::string& s : block) {
        b.push_back(uint8_t(s.size()));
        b.insert(b.end(), s.begin(), s.end());
      }
      b.push_back(0);
    }
    for (const TFrame& f : Frames) {
      if (f.Control) {
        b.insert(b.end(), {0x21, 0xF9, 4, uint8_t((f.Disposal << 2) | (f.Transparent ? 1 : 0))});
        le16(f.Delay);
        b.insert(b.end(), {f.TransparentIndex, 0});
      }
      b.push_back(0x2C);
      le16(f.Left);
      le16(f.Top);
      le16(f.Width);
      le16(f.Height);
      uint8_t packed = f.Interlaced ? 0x40 : 0;
      if (!f.Local.empty()) packed |= uint8_t(0x80 | (TableBits(f.Local.size()) - 1));
      b.push_back(packed);
      table(f.Local);
      std::vector<uint8_t> order = f.Indices;
      if (f.Interlaced) {
        order.clear();
        for (auto [start, step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}})
          for (int y = start; y < f.Height; y += step)
            order.insert(order.end(), f.Indices.begin() + y * f.Width, f.Indices.begin() + (y + 1) * f.Width);
      }
      const size_t entries = std::max({f.Local.size(), Global.size(), size_t(4)});
      const int m = f.MinCodeSize ? f.MinCodeSize : std::max(2, TableBits(entries));
      b.push_back(uint8_t(m));
      const std::vector<uint8_t> data = LiteralLzw(m, order);
      for (size_t i = 0; i < data.size(); i += 255) {
        const size_t n = std::min<size_t>(255, data.size() - i);
        b.push_back(uint8_t(n));
        b.insert(b.end(), data.begin() + i, data.begin() + i + n);
      }
      b.push_back(0);
    }
    b.push_back(0x3B);
    return b;
  }
};

// Three 2x2 frames on a 4x3 screen with a red background entry: green at the
// top left restored to the background afterwards, blue with a transparent
// hole kept, white half outside the screen.
inline TGif ThreeFrameAnimation() {
  TGif gif;
  gif.ScreenWidth = 4;
  gif.ScreenHeight = 3;
  gif.Global = {{{255, 0, 0}}, {{0, 255, 0}}, {{0, 0, 255}}, {{255, 255, 255}}};
  TFrame a;  // green at the top left, restored to background afterwards
  a.Width = a.Height = 2;
  a.Indices = {1, 1, 1, 1};
  a.Control = true;
  a.Disposal = 2;
  TFrame b;  // blue with a transparent hole at the right, kept
  b.Left = 2;
  b.Top = 1;
  b.Width = b.Height = 2;
  b.Indices = {2, 3, 2, 2};
  b.Control = true;
  b.Transparent = true;
  b.TransparentIndex = 3;
  b.Disposal = 1;
  TFrame c;  // white, half outside the screen
  c.Left = 3;
  c.Top = 0;
  c.Width = c.Height = 2;
  c.Indices = {3, 3, 3, 3};
  gif.Frames = {a, b, c};
  return gif;
}

}  // namespace rv::testing_support::gif
