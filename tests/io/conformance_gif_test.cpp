// GIF conformance. The pygif suite (gif/pygif) says for each test file which
// frames a player shows (refs/<test>.conf, frames as raw RGBA or PNG). Each
// frame is loaded through TPictureIO with the index of the image that ends it
// (FrameEnds) and compared with the suite's frame. An animation is composed on the logical screen, so
// its frames are compared whole; a file with one image loads as that image
// alone, so it is compared with the part of the suite's frame it covers.
// Alpha is compared everywhere, colour where alpha is not 0.
//
// The other GIF folders have no frame references: each file must load, or
// fail with a reason where listed, and never crash (the sanitizer build runs
// this too).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "conformance.h"
#include "imaging/pxbitmap.h"
#include "io/pictureio.h"
#include "pngref.h"

namespace rv {
namespace {

namespace fs = std::filesystem;

using test::CorpusRoot;
using test::TOutcome;

// The pygif tests whose result here differs from the suite's, and why.
struct TGifDeviation {
  const char* Test;
  TOutcome Outcome;
  const char* Why;
};

const TGifDeviation kPygifDeviations[] = {
    {"max-codes", TOutcome::kFails, "LZW minimum code size 11: only 2..8 are accepted"},
    {"max-width", TOutcome::kFails,
     "a colour image over 65000 pixels wide ending within 2000 bytes of the file's end is taken as garbage"},
    {"max-height", TOutcome::kFails,
     "a colour image over 65000 pixels high ending within 2000 bytes of the file's end is taken as garbage"},
    {"invalid-code", TOutcome::kLoadsUncompared,
     "the suite rejects a code past the next free entry; here decoding stops there and the rest is index 0"},
    {"invalid-colors", TOutcome::kLoadsUncompared,
     "the suite rejects indices past the colour table; here they show black"},
    {"plain-text", TOutcome::kLoadsUncompared,
     "plain-text extensions are skipped, so its one image loads; the suite renders nothing"},
    {"dispose-restore-previous", TOutcome::kLoadsUncompared,
     "disposal method 3 (restore previous) leaves the canvas as it is"},
};

struct TConf {
  std::map<std::string, std::map<std::string, std::string>> Sections;
  std::string Get(const std::string& section, const std::string& key) const {
    auto s = Sections.find(section);
    if (s == Sections.end()) return "";
    auto k = s->second.find(key);
    return k == s->second.end() ? "" : k->second;
  }
};

std::string Trim(std::string s) {
  const size_t hash = s.find('#');
  if (hash != std::string::npos) s.resize(hash);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
  size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  return s.substr(i);
}

TConf ReadConf(const std::string& path) {
  TConf conf;
  std::ifstream in(path);
  std::string line, section;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty()) continue;
    if (line.front() == '[') {
      section = line.substr(1, line.find(']') - 1);
      continue;
    }
    const size_t eq = line.find('=');
    if (eq != std::string::npos) conf.Sections[section][Trim(line.substr(0, eq))] = Trim(line.substr(eq + 1));
  }
  return conf;
}

// An expected frame as RGBA rows.
struct TFrameRef {
  int Width = 0, Height = 0;
  std::vector<uint8_t> Rgba;
  const uint8_t* At(int x, int y) const { return Rgba.data() + (size_t(y) * Width + x) * 4; }
};

bool ReadFrameRef(const std::string& refs, const TConf& conf, const std::string& frame, TFrameRef& out,
                  std::string* error) {
  out.Width = std::stoi(conf.Get("config", "width"));
  out.Height = std::stoi(conf.Get("config", "height"));
  const std::string pixels = conf.Get(frame, "pixels");
  if (!pixels.empty()) {
    std::ifstream in(refs + "/" + pixels, std::ios::binary);
    out.Rgba.assign(std::istreambuf_iterator<char>(in), {});
    if (out.Rgba.size() != size_t(out.Width) * out.Height * 4) {
      *error = pixels + ": not " + std::to_string(out.Width) + "x" + std::to_string(out.Height) + " RGBA";
      return false;
    }
    return true;
  }
  test::TRefImage png;
  if (!test::ReadPngReference(refs + "/" + conf.Get(frame, "image"), png, error)) return false;
  out.Width = png.Width;
  out.Height = png.Height;
  out.Rgba.resize(size_t(png.Width) * png.Height * 4);
  for (int y = 0; y < png.Height; ++y)
    for (int x = 0; x < png.Width; ++x) {
      const uint8_t* p = png.Pixel(x, y);
      uint8_t* d = out.Rgba.data() + (size_t(y) * png.Width + x) * 4;
      d[0] = p[2];
      d[1] = p[1];
      d[2] = p[0];
      d[3] = png.HasAlpha ? p[3] : 255;
    }
  return true;
}

// Compares the picture with the frame's rectangle at (left, top); empty when equal.
std::string Compare(TPxBitmap& bitmap, const TFrameRef& ref, int left, int top) {
  TPxBitmap* alpha = bitmap.HasAlphaChannel() ? bitmap.AlphaChannel() : nullptr;
  const int w = std::min(bitmap.Width(), ref.Width - left), h = std::min(bitmap.Height(), ref.Height - top);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const TColorBGR c = bitmap.ColorAt(x, y);
      const int a = alpha ? alpha->ByteAt(x, y) : 255;
      const uint8_t* r = ref.At(left + x, top + y);
      if (a != r[3] || (r[3] != 0 && (c.r != r[0] || c.g != r[1] || c.b != r[2]))) {
        std::ostringstream s;
        s << "pixel (" << x << ", " << y << ") is RGBA " << int(c.r) << "," << int(c.g) << "," << int(c.b) << "," << a
          << ", expected " << int(r[0]) << "," << int(r[1]) << "," << int(r[2]) << "," << int(r[3]);
        return s.str();
      }
    }
  return "";
}

std::vector<std::string> SplitFrames(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ','))
    if (!Trim(item).empty()) out.push_back(Trim(item));
  return out;
}

// A player shows a frame when an image with a delay has been drawn, and
// after the last image; images without a delay are drawn together with the
// ones after them. The image index that ends each frame, from the delays.
// With force-animation (a looping file whose images have no delays) the
// suite makes every image a frame.
std::vector<int32_t> FrameEnds(const std::string& file, bool everyImage) {
  TPictureIO io;
  io.ReadFileParams(file);
  const int32_t count = io.ImageParams().GifImageCount;
  std::vector<int32_t> ends;
  for (int32_t i = 0; i < count; ++i) {
    io.ImageParams().SetImageIndex(i);
    io.ReadFileParams(file);
    if (everyImage || io.ImageParams().GifDelayTime > 0 || i == count - 1) ends.push_back(i);
  }
  return ends;
}

TEST(GifConformance, PygifFramesMatch) {
  const fs::path folder = fs::path(CorpusRoot()) / "gif/pygif";
  if (!fs::is_directory(folder)) GTEST_SKIP() << "no corpus folder " << folder;
  std::ifstream list(folder / "TESTS");
  std::vector<std::string> tests;
  for (std::string t; std::getline(list, t);)
    if (!Trim(t).empty()) tests.push_back(Trim(t));
  ASSERT_GT(tests.size(), 80u);
  for (const TGifDeviation& d : kPygifDeviations)
    EXPECT_TRUE(std::find(tests.begin(), tests.end(), d.Test) != tests.end()) << d.Test << " is not in TESTS";

  const std::string refs = (folder / "refs").string();
  for (const std::string& test : tests) {
    SCOPED_TRACE(test);
    const TConf conf = ReadConf(refs + "/" + test + ".conf");
    const std::string file = (folder / conf.Get("config", "input")).string();
    const std::vector<std::string> frames = SplitFrames(conf.Get("config", "frames"));
    const TGifDeviation* deviation = nullptr;
    for (const TGifDeviation& d : kPygifDeviations)
      if (test == d.Test) deviation = &d;

    if (frames.empty() && !deviation) {
      // The suite shows nothing: either a failure, or nothing is drawn.
      TPictureIO io;
      io.LoadFromFile(file);
      EXPECT_TRUE(io.Aborted() || io.TargetBitmap()->IsEmpty()) << "the suite shows no frame";
      continue;
    }
    if (deviation && deviation->Outcome == TOutcome::kFails) {
      TPictureIO io;
      io.LoadFromFile(file);
      EXPECT_TRUE(io.Aborted() || io.TargetBitmap()->IsEmpty()) << deviation->Why;
      continue;
    }
    if (deviation) {
      TPictureIO io;
      io.LoadFromFile(file);
      EXPECT_FALSE(io.Aborted()) << io.AbortReason() << " (" << deviation->Why << ")";
      continue;
    }
    std::vector<int32_t> ends = FrameEnds(file, conf.Get("config", "force-animation") == "yes");
    // A file without images: nothing is decoded, which the suite draws as
    // one empty screen.
    if (ends.empty()) ends.push_back(0);
    ASSERT_EQ(ends.size(), frames.size()) << "frames ending at images with a delay, or at the last image";
    for (size_t k = 0; k < frames.size(); ++k) {
      SCOPED_TRACE("frame " + std::to_string(k) + ", image " + std::to_string(ends[k]));
      TFrameRef ref;
      std::string error;
      ASSERT_TRUE(ReadFrameRef(refs, conf, frames[k], ref, &error)) << error;
      TPictureIO io;
      io.ImageParams().SetImageIndex(ends[k]);
      io.LoadFromFile(file);
      ASSERT_FALSE(io.Aborted()) << io.AbortReason();
      TPxBitmap& bitmap = *io.TargetBitmap();
      const int32_t count = io.ImageParams().GifImageCount;
      if (bitmap.IsEmpty()) {
        // An image with a zero side: nothing to show, which the suite draws
        // as a screen without pixels.
        for (size_t i = 3; i < ref.Rgba.size(); i += 4) EXPECT_EQ(ref.Rgba[i], 0);
        continue;
      }
      int left = 0, top = 0;
      if (count > 1) {
        EXPECT_EQ(bitmap.Width(), ref.Width);
        EXPECT_EQ(bitmap.Height(), ref.Height);
      } else {
        left = io.ImageParams().GifXPos;
        top = io.ImageParams().GifYPos;
      }
      const std::string diff = Compare(bitmap, ref, left, top);
      EXPECT_TRUE(diff.empty()) << diff;
    }
  }
}

// Files that must fail, in the folders without frame references.
struct TGifFileCase {
  const char* File;
  const char* Why;
};
const TGifFileCase kFailingFiles[] = {
    {"image-gif/set_hsts.gif", "LZW minimum code size 1: only 2..8 are accepted"},
    {"pillow/issue_2811.gif", "LZW minimum code size 11: only 2..8 are accepted"},
};

TEST(GifConformance, OtherSuitesLoadEveryFrame) {
  const fs::path root = fs::path(CorpusRoot()) / "gif";
  if (!fs::is_directory(root)) GTEST_SKIP() << "no corpus folder " << root;
  int files = 0;
  for (const char* suite : {"image-gif", "image-rs", "pillow"}) {
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(root / suite)) {
      if (!e.is_regular_file() || e.path().extension() != ".gif") continue;
      const std::string rel = fs::relative(e.path(), root).string();
      SCOPED_TRACE(rel);
      ++files;
      const TGifFileCase* failing = nullptr;
      for (const TGifFileCase& c : kFailingFiles)
        if (rel == c.File) failing = &c;
      TPictureIO io;
      io.LoadFromFile(e.path().string());
      if (failing) {
        EXPECT_TRUE(io.Aborted()) << failing->Why;
        EXPECT_FALSE(io.AbortReason().empty());
        continue;
      }
      ASSERT_FALSE(io.Aborted()) << io.AbortReason();
      const int32_t count = io.ImageParams().GifImageCount;
      EXPECT_GT(count, 0);
      // The last frame, composed from all before it.
      TPictureIO last;
      last.ImageParams().SetImageIndex(count - 1);
      last.LoadFromFile(e.path().string());
      EXPECT_FALSE(last.Aborted()) << last.AbortReason();
      EXPECT_FALSE(last.TargetBitmap()->IsEmpty());
    }
  }
  EXPECT_GT(files, 50);
}

}  // namespace
}  // namespace rv
