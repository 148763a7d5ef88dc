// Conformance of the PCX, DCX, TGA, ICO, CUR, PNM and WBMP readers: every
// file of their corpus folders goes through TPictureIO as the application
// loads it (format by content, then by name). A file expected to load must
// load without the abort flag and, where the suite ships a reference, decode
// to its pixels; a file expected to fail must set the abort flag with a
// reason; corrupt files may do either but must not crash (the sanitizer build
// runs this too). Every file of a folder is visited, so a new corpus file is
// covered by its suite's default.
//
// Pixels are compared as 8-bit blue, green, red and alpha. Alpha must be
// equal everywhere (255 where the picture has no alpha channel); colour is
// compared where the reference's alpha is not 0 (transparent pixels have no
// colour to see). Icons hold several pictures: a reference matches when one
// of the file's images equals it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
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
using test::ReadPngReference;
using test::TRefImage;

using test::CorpusRoot;
using test::TOutcome;
using test::TRefRule;

struct TCase {
  const char* File;  // relative to the suite's folder
  TOutcome Outcome;
  const char* Why;
  // Reference relative to the corpus root; nullptr: the suite's rule; "": none.
  const char* Ref = nullptr;
  // Largest difference allowed per colour sample.
  int Tolerance = 0;
  // The reference's alpha is not reproduced on purpose: colours are compared
  // everywhere and the picture must be opaque.
  bool IgnoreRefAlpha = false;
  // Another file (corpus-root relative) that must decode to the same pixels.
  const char* SameAs = nullptr;
};

struct TSuite {
  const char* Name;
  const char* Folder;  // corpus-root relative; searched with its subfolders
  TOutcome Default;
  TRefRule Rule = TRefRule::kNone;
  std::vector<TCase> Files = {};
  // Only files with these extensions (lower case, with the dot); empty: all.
  std::set<std::string> Extensions = {};
};

// 5-bit channels are widened by x 8 here (31 gives 248); the references
// scale them to 255.
constexpr int kFiveBitTolerance = 7;

const std::vector<TSuite>& Suites() {
  using enum TOutcome;
  static const std::vector<TSuite> suites = {
      {"PcxImageExtras", "pcx/image-extras", kLoads, TRefRule::kStem},
      {"PcxKryptan", "pcx/kryptan-pcx", kLoads, TRefRule::kStem},
      {"PcxPillow",
       "pcx/pillow",
       kLoads,
       TRefRule::kNone,
       {
           {"01r_00.pcx", kFails, "88 pixels wide with 12 bytes per line: the lines would overlap"},
           {"odd_stride.pcx", kLoads, "an odd number of bytes per line is allowed when it holds the row"},
       }},
      {"PcxZigimg", "pcx/zigimg", kLoads},
      {"Dcx",
       "dcx/pillow",
       kLoads,
       TRefRule::kNone,
       {{"hopper.dcx", kLoads, "its one page was made from hopper.ppm", nullptr, 0, false, "pnm/pillow/hopper.ppm"}}},
      {"TgaTruevision",
       "tga/truevision",
       kLoads,
       TRefRule::kFileName,
       {
           {"b5-attrib.tga", kLoads, "5-5-5 pixels", nullptr, kFiveBitTolerance},
           {"b5-cmap.tga", kLoads, "15-bit colour map", nullptr, kFiveBitTolerance},
           {"b5-noattrib.tga", kLoads, "5-5-5 pixels", nullptr, kFiveBitTolerance},
           {"b5-unused-cmap.tga", kLoads, "5-5-5 pixels behind an unused map", nullptr, kFiveBitTolerance},
           {"utc32.tga", kLoads, "every alpha byte is 0: loads opaque; the reference is fully transparent", nullptr, 0,
            true},
           {"ucm8.tga", kLoads, "no reference", ""},
           {"ccm8.tga", kLoads, "no reference", ""},
           {"utc16.tga", kLoads, "no reference", ""},
       }},
      {"TgaPillowCommon", "tga/pillow-common", kLoads, TRefRule::kSizeAndMode},
      {"TgaPillow",
       "tga/pillow",
       kLoads,
       TRefRule::kNone,
       {
           {"200x32_p_bl_raw_origin.tga", kLoads, "the origin fields do not move the picture",
            "tga/pillow-common/refs/200x32_p.png"},
           {"cross_scan_line.tga", kLoads, "a packet crossing a row end", "tga/pillow/refs/cross_scan_line.png"},
           {"p_16.tga", kLoads, "16-bit colour-map entries", "tga/pillow/refs/p_16.png", kFiveBitTolerance},
       }},
      {"TgaImageRs", "tga/image-rs", kLoads},
      {"IcoImageRs",
       "ico/image-rs",
       kLoads,
       TRefRule::kFileName,
       {
           {"bmp-32bpp-conflicting-and-mask.ico", kLoads, "no reference", ""},
           {"bmp_v5_with_icc.ico", kLoads, "no reference", ""},
           {"truncated_mask_32bpp.ico", kLoads, "no reference", ""},
       }},
      {"IcoPillow",
       "ico/pillow",
       kLoads,
       TRefRule::kNone,
       {{"hopper_mask.ico", kLoads, "1-bit icon with an AND mask", "ico/pillow/refs/hopper_mask.png"}}},
      {"Cur", "cur/pillow", kLoads},
      {"PnmPillow",
       "pnm/pillow",
       kLoads,
       TRefRule::kNone,
       {
           {"hopper_1bit_plain.pbm", kLoads, "P1 = P4", nullptr, 0, false, "pnm/pillow/hopper_1bit.pbm"},
           {"hopper_8bit_plain.pgm", kLoads, "P2 = P5", nullptr, 0, false, "pnm/pillow/hopper_8bit.pgm"},
           {"hopper_8bit_plain.ppm", kLoads, "P3 = P6", nullptr, 0, false, "pnm/pillow/hopper_8bit.ppm"},
           {"hopper_16bit_plain.pgm", kLoads, "16-bit P2 = P5", nullptr, 0, false, "pnm/pillow/hopper_16bit.pgm"},
       }},
      {"PnmZigimg",
       "pnm/zigimg",
       kLoads,
       TRefRule::kNone,
       {
           {"pbm_ascii.pbm", kLoads, "P1 = P4", nullptr, 0, false, "pnm/zigimg/pbm_binary.pbm"},
           {"pgm_ascii_grayscale8.pgm", kLoads, "P2 = P5", nullptr, 0, false, "pnm/zigimg/pgm_binary_grayscale8.pgm"},
           {"pgm_ascii_grayscale16.pgm", kLoads, "16-bit P2 = P5", nullptr, 0, false,
            "pnm/zigimg/pgm_binary_grayscale16.pgm"},
           {"ppm_ascii_rgb24.ppm", kLoads, "P3 = P6", nullptr, 0, false, "pnm/zigimg/ppm_binary_rgb24.ppm"},
       }},
      {"PnmImageRs", "pnm/image-rs", kLoads, TRefRule::kFileName},
      {"PnmImageTiff", "pnm/image-tiff", kLoads},
      {"WbmpImageExtras",
       "wbmp/image-extras",
       kLoads,
       TRefRule::kStem,
       {
           {"encoder-output/test-image_L8.wbmp", kLoads, "no reference", ""},
           {"encoder-output/test-image_threshold.wbmp", kLoads, "no reference", ""},
       }},
      {"WbmpReshane",
       "wbmp/reshane-wbmp",
       kLoads,
       TRefRule::kNone,
       {{"sample_640x426.wbmp", kLoads, "field.wbmp with a trailing byte", "wbmp/image-extras/refs/field.png"}}},
      {"Corrupt",
       "corrupt",
       kNoCrash,
       TRefRule::kNone,
       {
           {"image-rs/bad/ico/Bad_smile-incorrect-image-length.ico", kLoads,
            "the entry's size holds the header but not the pixels it describes: the header decides, as Pillow and "
            "ImageMagick read it"},
           {"pillow/decompression_bomb.ico", kFails, "refused by the size limits"},
           {"pillow/no_cursors.cur", kFails, "a directory without images"},
           {"pillow/negative_size.ppm", kFails, "no valid header"},
           {"pillow/p_8.tga", kLoads,
            "only the 18-byte header of a 128 x 128 picture with 8-bit colour-map entries: a header-only file shows "
            "at its size, black"},
           {"pillow/ossfuzz-4836216264589312.pcx", kFails, "encoding 32"},
           {"pillow/cross_scan_line_truncated.tga", kLoads, "cut short: the rows decoded stay, the rest is black"},
       },
       {".pcx", ".dcx", ".tga", ".ico", ".cur", ".pnm", ".ppm", ".pgm", ".pbm", ".wbmp"}},
  };
  return suites;
}

bool IsInput(const fs::path& relative) {
  const std::string name = relative.filename().string();
  const std::string ext = relative.extension().string();
  for (const auto& part : relative)
    if (part == "refs") return false;
  return name != "MANIFEST.md" && name != "LICENSE" && name != "md5sum" && ext != ".png" && ext != ".txt" &&
         ext != ".tiff";
}

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string ReferenceOf(const TSuite& suite, const TCase* row, const fs::path& relative) {
  if (row && row->Ref) return row->Ref;
  const std::string folder = suite.Folder;
  switch (suite.Rule) {
    case TRefRule::kNone:
      return "";
    case TRefRule::kStem: {
      fs::path p = relative;
      p.replace_extension(".png");
      return folder + "/refs/" + p.string();
    }
    case TRefRule::kFileName:
      return folder + "/refs/" + relative.string() + ".png";
    case TRefRule::kSizeAndMode: {
      std::string name = relative.stem().string();
      for (int i = 0; i < 2; ++i) name = name.substr(0, name.rfind('_'));
      return folder + "/refs/" + name + ".png";
    }
    case TRefRule::kRefMap:
    case TRefRule::kSibling:
      // Rules of other suites; no suite of this harness uses them.
      return "";
  }
  return "";
}

// Empty when the picture equals the reference, else the first difference.
std::string Compare(TPxBitmap& bitmap, const TRefImage& ref, int tolerance, bool ignoreRefAlpha) {
  if (bitmap.Width() != ref.Width || bitmap.Height() != ref.Height)
    return "size " + std::to_string(bitmap.Width()) + "x" + std::to_string(bitmap.Height()) + ", reference " +
           std::to_string(ref.Width) + "x" + std::to_string(ref.Height);
  TPxBitmap* alpha = bitmap.HasAlphaChannel() ? bitmap.AlphaChannel() : nullptr;
  for (int y = 0; y < ref.Height; ++y) {
    for (int x = 0; x < ref.Width; ++x) {
      const TColorBGR c = bitmap.ColorAt(x, y);
      const int a = alpha ? alpha->ByteAt(x, y) : 255;
      const uint8_t* r = ref.Pixel(x, y);
      const int ra = ref.HasAlpha && !ignoreRefAlpha ? r[3] : 255;
      auto differs = [tolerance](int v, int w) { return std::abs(v - w) > tolerance; };
      if (a != ra || (ra != 0 && (differs(c.b, r[0]) || differs(c.g, r[1]) || differs(c.r, r[2])))) {
        std::ostringstream s;
        s << "pixel (" << x << ", " << y << ") is BGRA " << int(c.b) << "," << int(c.g) << "," << int(c.r) << "," << a
          << ", reference " << int(r[0]) << "," << int(r[1]) << "," << int(r[2]) << "," << ra;
        return s.str();
      }
    }
  }
  return "";
}

// The picture as one reference image (colour and alpha), to compare two decodings.
TRefImage Snapshot(TPxBitmap& bitmap) {
  TRefImage image;
  image.Width = bitmap.Width();
  image.Height = bitmap.Height();
  image.HasAlpha = true;
  TPxBitmap* alpha = bitmap.HasAlphaChannel() ? bitmap.AlphaChannel() : nullptr;
  for (int y = 0; y < image.Height; ++y) {
    for (int x = 0; x < image.Width; ++x) {
      const TColorBGR c = bitmap.ColorAt(x, y);
      image.Pixels.insert(image.Pixels.end(), {c.b, c.g, c.r, uint8_t(alpha ? alpha->ByteAt(x, y) : 255)});
    }
  }
  return image;
}

void PrintTo(const TSuite& suite, std::ostream* os) {
  *os << suite.Folder;
}

class SmallReadersConformance : public testing::TestWithParam<TSuite> {};

TEST_P(SmallReadersConformance, EveryFileBehavesAsListed) {
  const TSuite& suite = GetParam();
  const std::string root = CorpusRoot();
  const fs::path folder = fs::path(root) / suite.Folder;
  if (!fs::is_directory(folder)) GTEST_SKIP() << "no corpus folder " << folder << " (../shared/corpus)";

  std::vector<fs::path> files;
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(folder)) {
    if (!e.is_regular_file()) continue;
    const fs::path relative = fs::relative(e.path(), folder);
    if (!IsInput(relative)) continue;
    if (!suite.Extensions.empty() && !suite.Extensions.count(Lower(relative.extension().string()))) continue;
    files.push_back(relative);
  }
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty()) << folder;
  for (const TCase& row : suite.Files)
    EXPECT_TRUE(std::find(files.begin(), files.end(), fs::path(row.File)) != files.end())
        << suite.Folder << ": listed file " << row.File << " is missing";

  for (const fs::path& relative : files) {
    SCOPED_TRACE(std::string(suite.Folder) + "/" + relative.string());
    const TCase* row = nullptr;
    for (const TCase& r : suite.Files)
      if (relative == fs::path(r.File)) row = &r;
    const TOutcome expected = row ? row->Outcome : suite.Default;
    const std::string path = (folder / relative).string();

    TPictureIO io;
    io.LoadFromFile(path);
    if (expected == TOutcome::kNoCrash) continue;
    if (expected == TOutcome::kFails) {
      EXPECT_TRUE(io.Aborted()) << "expected to fail: " << row->Why;
      EXPECT_FALSE(io.AbortReason().empty());
      continue;
    }
    ASSERT_FALSE(io.Aborted()) << io.AbortReason();
    TPxBitmap& bitmap = *io.TargetBitmap();
    ASSERT_FALSE(bitmap.IsEmpty());
    if (expected == TOutcome::kLoadsUncompared) continue;

    if (row && row->SameAs) {
      TPictureIO other;
      other.LoadFromFile(root + "/" + row->SameAs);
      ASSERT_FALSE(other.Aborted()) << row->SameAs << ": " << other.AbortReason();
      const std::string diff = Compare(bitmap, Snapshot(*other.TargetBitmap()), 0, false);
      EXPECT_TRUE(diff.empty()) << "differs from " << row->SameAs << ": " << diff;
    }

    const std::string refPath = ReferenceOf(suite, row, relative);
    if (refPath.empty()) continue;
    TRefImage ref;
    std::string error;
    ASSERT_TRUE(ReadPngReference(root + "/" + refPath, ref, &error)) << error;
    const int tolerance = row ? row->Tolerance : 0;
    const bool ignoreAlpha = row ? row->IgnoreRefAlpha : false;
    std::string diff = Compare(bitmap, ref, tolerance, ignoreAlpha);
    // Icons: the reference may show another of the file's images.
    const int count = io.ImageParams().ImageCount;
    for (int i = 1;
         !diff.empty() && (io.ImageParams().FileType == ffICO || io.ImageParams().FileType == ffCUR) && i < count;
         ++i) {
      TPictureIO image;
      image.ImageParams().SetImageIndex(i);
      image.LoadFromFile(path);
      if (!image.Aborted() && Compare(*image.TargetBitmap(), ref, tolerance, ignoreAlpha).empty()) diff.clear();
    }
    EXPECT_TRUE(diff.empty()) << "differs from " << refPath << ": " << diff;
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, SmallReadersConformance, testing::ValuesIn(Suites()),
                         [](const testing::TestParamInfo<TSuite>& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace rv
