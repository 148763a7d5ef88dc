// Conformance: every file of a corpus folder goes through TPictureIO as the
// application loads it (format by content, then by name). A file expected to
// load must load without the abort flag and, where the suite ships a
// reference, decode to its pixels exactly; a file expected to fail must set
// the abort flag with a reason. Nothing may crash (the sanitizer build runs
// this too). A new suite is one more entry in Suites().
//
// Pixels are compared as 8-bit blue, green, red and alpha. A reference without
// alpha requires an opaque picture. Where a reference has alpha, alpha is
// compared everywhere, and colour only where alpha is not 0: a fully
// transparent pixel has no colour to see, and the references store whatever
// their encoder left there.
#include "conformance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

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

struct TFileCase {
  const char* File;
  TOutcome Outcome;
  const char* Why;
  // Comma-separated references relative to the corpus root; they replace the
  // suite's rule for this file. nullptr: the suite's rule; "": not compared.
  const char* Refs = nullptr;
  // Largest difference allowed per colour sample (0: exact).
  int Tolerance = 0;
  // Compare colours only (everywhere) and require an opaque picture, for
  // references whose alpha this reader deliberately does not reproduce.
  bool ColourOnly = false;
  // Another file (corpus-root relative) that must decode to the same pixels.
  const char* SameAs = nullptr;
};

struct TSuite {
  const char* Name;    // test name
  const char* Folder;  // relative to the corpus root; its files, not subfolders
  TOutcome Default;    // outcome of files not listed
  bool ListEveryFile;  // every file must have a row (for the questionable ones)
  TRefRule Rule = TRefRule::kNone;
  const char* RefBase = "";  // folder the references are relative to (corpus root relative)
  const char* RefMap = "";   // kRefMap: the TSV, corpus root relative
  std::vector<TFileCase> Files;
};

const std::vector<TSuite>& Suites() {
  using enum TOutcome;
  static const std::vector<TSuite> suites = {
      {"BmpSuiteGood", "bmpsuite/g", kLoads, false, TRefRule::kRefMap, "bmpsuite/refs", "bmpsuite/refs/REFMAP.tsv", {}},
      {"BmpSuiteBad",
       "bmpsuite/b",
       kFails,
       true,
       TRefRule::kNone,
       "",
       "",
       {
           {"badbitcount.bmp", kFails, "bit count 30000 is not a BMP depth"},
           {"badbitssize.bmp", kLoads, "the image size field is not needed for uncompressed data and is ignored",
            "bmpsuite/refs/pal1.png"},
           {"baddens1.bmp", kLoads, "an odd resolution is only metadata", "bmpsuite/refs/pal1.png"},
           {"baddens2.bmp", kLoads, "an odd resolution is only metadata", "bmpsuite/refs/pal1.png"},
           {"badfilesize.bmp", kLoads, "the file size field is not trusted; the real size is known",
            "bmpsuite/refs/pal1.png"},
           {"badheadersize.bmp", kFails, "header size 66 is no known BMP header"},
           {"badpalettesize.bmp", kLoads, "an absurd colour count is clamped to 2^bits, as for pal8oversizepal",
            "bmpsuite/refs/pal8.png"},
           {"badplanes.bmp", kFails, "planes must be 1"},
           // Runs past the row end drop what lies outside and go on, as Pillow and ImageMagick load these.
           {"badrle.bmp", kLoads, "RLE8 runs past the row end: the pixels outside are dropped"},
           {"badrlebis.bmp", kLoads, "RLE8 deltas past the row end stop at it; runs after them are dropped"},
           {"badrleter.bmp", kLoads, "RLE8 deltas past the row end stop at it; runs after them are dropped"},
           {"badrle4.bmp", kLoads, "RLE4 runs past the row end: the pixels outside are dropped"},
           {"badrle4bis.bmp", kLoads, "RLE4 deltas past the row end stop at it; runs after them are dropped"},
           {"badrle4ter.bmp", kLoads, "RLE4 deltas past the row end stop at it; runs after them are dropped"},
           {"badwidth.bmp", kFails, "negative width"},
           {"pal8badindex.bmp", kFails, "pixel indexes past the colour table"},
           {"reallybig.bmp", kFails, "refused by the size limits"},
           {"rgb16-880.bmp", kFails, "empty blue bit-field mask"},
           {"rletopdown.bmp", kLoads,
            "top-down run-length data: the first row is the top one, as Pillow and "
            "ImageMagick read it",
            "bmpsuite/refs/pal8.png"},
           {"shortfile.bmp", kLoads, "truncated: loads at the header's size, the rows present decoded, the rest black"},
       }},
      {"BmpSuiteQuestionable",
       "bmpsuite/q",
       kLoads,
       true,
       TRefRule::kRefMap,
       "bmpsuite/refs",
       "bmpsuite/refs/REFMAP.tsv",
       {
           {"pal1huffmsb.bmp", kFails, "OS/2 Huffman 1D compression is not supported"},
           {"pal1p1.bmp", kLoads, "a one-entry palette; every pixel uses it"},
           {"pal2.bmp", kLoads, "2-bit palette data (Windows CE)"},
           {"pal2color.bmp", kLoads, "2-bit palette data (Windows CE)"},
           {"pal4rlecut.bmp", kLoads, "RLE4 ending early: the rest stays black"},
           {"pal4rletrns.bmp", kLoads, "RLE4 with deltas: skipped pixels stay black"},
           {"pal8offs.bmp", kLoads, "pixel data offset past the colour table"},
           {"pal8os2-hs.bmp", kLoads, "OS/2 1.x header"},
           {"pal8os2-sz.bmp", kLoads, "OS/2 1.x header"},
           {"pal8os2sp.bmp", kLoads, "OS/2 1.x with a short palette: the offset bounds the table"},
           {"pal8os2v2-16.bmp", kLoads, "OS/2 2.x header cut to 16 bytes"},
           {"pal8os2v2-40sz.bmp", kLoads, "OS/2 2.x header of 40 bytes"},
           {"pal8os2v2-sz.bmp", kLoads, "OS/2 2.x header"},
           {"pal8os2v2.bmp", kLoads, "OS/2 2.x header"},
           {"pal8oversizepal.bmp", kLoads, "300 colours for 8 bits: the first 256 are used"},
           {"pal8rlecut.bmp", kLoads, "RLE8 ending early: the rest stays black"},
           {"pal8rletrns.bmp", kLoads, "RLE8 with deltas: skipped pixels stay black"},
           {"rgb16-231.bmp", kLoads, "2-3-1 bit fields"},
           {"rgb16-3103.bmp", kLoads, "3-10-3 bit fields"},
           {"rgb16faketrns.bmp", kLoads, "the unused top bit of 5-5-5 data is not alpha"},
           {"rgb24jpeg.bmp", kFails, "embedded JPEG is not supported"},
           {"rgb24largepal.bmp", kLoads, "a 300-entry colour table before 24-bit data is skipped"},
           {"rgb24lprof.bmp", kLoads, "a linked colour profile is ignored"},
           {"rgb24png.bmp", kFails, "embedded PNG is not supported"},
           {"rgb24prof.bmp", kLoads, "an embedded colour profile is ignored"},
           {"rgb24prof2.bmp", kLoads,
            "its embedded profile swaps red and green; profiles are not applied, so the reference (which applies "
            "it) is not compared",
            ""},
           {"rgb24rle24.bmp", kFails, "OS/2 RLE24 is not supported"},
           {"rgb32-111110.bmp", kLoads,
            "11-11-10 bit fields: the reference is the 8-bit picture the file was made from, and 11-bit values lie "
            "between 8-bit levels, so rounding may differ by one",
            nullptr, 1},
           {"rgb32-7187.bmp", kLoads, "7-18-7 bit fields"},
           {"rgb32-xbgr.bmp", kLoads, "bit fields in x-b-g-r order"},
           {"rgb32fakealpha.bmp", kLoads, "a non-zero fourth byte without bit fields is taken as alpha"},
           {"rgb32h52.bmp", kLoads, "bit fields inside a 52-byte header"},
           {"rgba16-1924.bmp", kLoads, "1-9-2-4 bit fields with alpha"},
           {"rgba16-4444.bmp", kLoads, "4-4-4-4 bit fields with alpha"},
           {"rgba16-5551.bmp", kLoads, "5-5-5-1 bit fields with alpha"},
           {"rgba32-1.bmp", kLoads, "8-8-8-8 bit fields with alpha"},
           {"rgba32-1010102.bmp", kLoads, "10-10-10-2 bit fields with alpha"},
           {"rgba32-2.bmp", kLoads, "8-8-8-8 bit fields with alpha, another order"},
           {"rgba32-61754.bmp", kLoads, "6-17-5-4 bit fields with alpha"},
           {"rgba32-81284.bmp", kLoads, "8-12-8-4 bit fields with alpha"},
           {"rgba32abf.bmp", kLoads, "alpha bit fields (compression 6)"},
           {"rgba32h56.bmp", kLoads, "bit fields with alpha inside a 56-byte header"},
           {"rgba64.bmp", kFails, "64-bit pixels are not supported"},
       }},
      {"BmpSuiteRelated",
       "bmpsuite/x",
       kFails,
       true,
       TRefRule::kNone,
       "",
       "",
       {{"ba-bm.bmp", kFails, "an OS/2 bitmap array (\"BA\"), not a BMP"}}},
      {"BmpImageRs",
       "bmp/image-rs",
       kLoads,
       false,
       TRefRule::kSibling,
       "bmp/image-rs/refs",
       "",
       {
           {"imagemagick_invalid_run_length_issue_2321.bmp", kLoads,
            "RLE8 runs pass the row end: the pixels outside are dropped; no reference", ""},
           {"V3_A1_R5_G5_B5.bmp", kLoads,
            "every alpha value is 0, which this reader takes as opaque (as for 32-bit data); the reference is fully "
            "transparent",
            nullptr, 0, true},
           {"V3_A1_R5_G5_B5_Top_Down.bmp", kLoads, "as V3_A1_R5_G5_B5.bmp", nullptr, 0, true},
           {"V3_A4_R4_G4_B4.bmp", kLoads, "every alpha value is 0: taken as opaque, as above", nullptr, 0, true},
           {"V3_A4_R4_G4_B4_Top_Down.bmp", kLoads, "every alpha value is 0: taken as opaque, as above", nullptr, 0,
            true},
       }},
      {"BmpImageRsLenient",
       "bmp/image-rs/lenient",
       kFails,
       true,
       TRefRule::kNone,
       "",
       "",
       {
           {"V5_A8_R8_G8_B8_Rgb_BadMask.bmp", kLoads,
            "compression 0: the header's masks are not used, so a bad one does not matter"},
           {"rle_overflow.bmp", kLoads, "an absolute run of 3 pixels in a 2-pixel row: the third is dropped"},
       }},
      {"BmpPillow",
       "bmp/pillow",
       kLoads,
       true,
       TRefRule::kNone,
       "",
       "",
       {
           {"hopper.bmp", kLoads, "V5 header, 24 bit"},
           {"hopper_rle8.bmp", kLoads, "RLE8"},
           {"hopper_rle8_grayscale.bmp", kLoads, "RLE8 with a V4 header", "bmp/pillow/refs/bw_gradient.png"},
           {"hopper_rle8_row_overflow.bmp", kLoads,
            "hopper_rle8.bmp with three last-column runs of 255: what passes the row end is dropped", nullptr, 0, false,
            "bmp/pillow/hopper_rle8.bmp"},
           {"mmap_error.bmp", kFails,
            "its pixel data offset points at the start of the colour table; the offset wins, so no colour table is "
            "left and the pixel indexes are past it"},
           {"rgb32bf-abgr.bmp", kLoads, "32-bit bit fields, a-b-g-r"},
           {"rgb32bf-rgba.bmp", kLoads, "32-bit bit fields, r-g-b-a"},
       }},
      {"BmpWin1x", "bmp/win1x", kFails, false, TRefRule::kNone, "", "", {}},
      {"BmpZigimg", "bmp/zigimg", kLoads, false, TRefRule::kNone, "", "", {}},
  };
  return suites;
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ','))
    if (!item.empty()) out.push_back(item);
  return out;
}

// REFMAP rows: "g/pal1.bmp<TAB>pal1.png[,alt.png...]".
std::map<std::string, std::vector<std::string>> ReadRefMap(const std::string& path) {
  std::map<std::string, std::vector<std::string>> map;
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);  // heading
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    map[line.substr(0, tab)] = SplitList(line.substr(tab + 1));
  }
  return map;
}

// The references of one file, as paths relative to the corpus root.
std::vector<std::string> ReferencesOf(const TSuite& suite, const TFileCase* row, const std::string& file,
                                      const std::map<std::string, std::vector<std::string>>& refMap) {
  std::vector<std::string> refs;
  if (row && row->Refs) return SplitList(row->Refs);
  if (suite.Rule == TRefRule::kSibling) {
    refs.push_back(std::string(suite.RefBase) + "/" + file + ".png");
  } else if (suite.Rule == TRefRule::kRefMap) {
    // Keys are relative to the folder holding the map's suite: "g/pal1.bmp".
    const std::string folder = suite.Folder;
    const std::string key = folder.substr(folder.find('/') + 1) + "/" + file;
    auto it = refMap.find(key);
    if (it != refMap.end())
      for (const std::string& r : it->second) refs.push_back(std::string(suite.RefBase) + "/" + r);
  }
  // Only PNG references can be read here (bmpsuite has one JPEG).
  std::erase_if(refs, [](const std::string& r) { return !r.ends_with(".png"); });
  return refs;
}

// Empty when the picture equals the reference, else the first difference.
std::string CompareWithReference(TPxBitmap& bitmap, const TRefImage& ref, int tolerance, bool colourOnly) {
  if (bitmap.Width() != ref.Width || bitmap.Height() != ref.Height)
    return "size " + std::to_string(bitmap.Width()) + "x" + std::to_string(bitmap.Height()) + ", reference " +
           std::to_string(ref.Width) + "x" + std::to_string(ref.Height);
  TPxBitmap* alpha = bitmap.HasAlphaChannel() ? bitmap.AlphaChannel() : nullptr;
  for (int y = 0; y < ref.Height; ++y) {
    for (int x = 0; x < ref.Width; ++x) {
      const TColorBGR c = bitmap.ColorAt(x, y);
      const int a = alpha ? alpha->ByteAt(x, y) : 255;
      const uint8_t* r = ref.Pixel(x, y);
      const int ra = ref.HasAlpha && !colourOnly ? r[3] : 255;
      const bool colourCounts = ra != 0;
      auto differs = [tolerance](int v, int w) { return std::abs(v - w) > tolerance; };
      if (a != ra || (colourCounts && (differs(c.b, r[0]) || differs(c.g, r[1]) || differs(c.r, r[2])))) {
        std::ostringstream s;
        s << "pixel (" << x << ", " << y << ") is BGRA " << int(c.b) << "," << int(c.g) << "," << int(c.r) << "," << a
          << ", reference " << int(r[0]) << "," << int(r[1]) << "," << int(r[2]) << "," << ra;
        return s.str();
      }
    }
  }
  return "";
}

// Empty when both pictures have the same size, colours and alpha (255 without
// an alpha channel), else the first difference.
std::string CompareWithPicture(TPxBitmap& bitmap, TPxBitmap& other) {
  if (bitmap.Width() != other.Width() || bitmap.Height() != other.Height())
    return "size " + std::to_string(bitmap.Width()) + "x" + std::to_string(bitmap.Height()) + ", other " +
           std::to_string(other.Width()) + "x" + std::to_string(other.Height());
  TPxBitmap* alpha = bitmap.HasAlphaChannel() ? bitmap.AlphaChannel() : nullptr;
  TPxBitmap* otherAlpha = other.HasAlphaChannel() ? other.AlphaChannel() : nullptr;
  for (int y = 0; y < bitmap.Height(); ++y) {
    for (int x = 0; x < bitmap.Width(); ++x) {
      const int a = alpha ? alpha->ByteAt(x, y) : 255, b = otherAlpha ? otherAlpha->ByteAt(x, y) : 255;
      if (bitmap.ColorAt(x, y) != other.ColorAt(x, y) || a != b)
        return "pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") differs";
    }
  }
  return "";
}

void PrintTo(const TSuite& suite, std::ostream* os) {
  *os << suite.Folder;
}

class ConformanceTest : public testing::TestWithParam<TSuite> {};

TEST_P(ConformanceTest, EveryFileBehavesAsListed) {
  const TSuite& suite = GetParam();
  const std::string root = CorpusRoot();
  if (!fs::is_directory(root)) GTEST_SKIP() << "no corpus at " << root << " (../shared/corpus from the repository)";
  const fs::path folder = fs::path(root) / suite.Folder;
  if (!fs::is_directory(folder)) GTEST_SKIP() << "corpus folder " << folder << " is absent";

  std::map<std::string, std::vector<std::string>> refMap;
  if (suite.Rule == TRefRule::kRefMap) {
    refMap = ReadRefMap(root + "/" + suite.RefMap);
    ASSERT_FALSE(refMap.empty()) << "cannot read " << suite.RefMap;
  }

  std::vector<std::string> files;
  for (const fs::directory_entry& e : fs::directory_iterator(folder))
    if (e.is_regular_file() && e.path().filename() != "MANIFEST.md") files.push_back(e.path().filename().string());
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty()) << folder;

  // Every listed file must exist, so a renamed corpus file cannot hide.
  for (const TFileCase& row : suite.Files)
    EXPECT_TRUE(std::find(files.begin(), files.end(), row.File) != files.end())
        << suite.Folder << ": listed file " << row.File << " is missing";

  for (const std::string& file : files) {
    SCOPED_TRACE(std::string(suite.Folder) + "/" + file);
    const TFileCase* row = nullptr;
    for (const TFileCase& r : suite.Files)
      if (file == r.File) row = &r;
    if (suite.ListEveryFile && !row) {
      ADD_FAILURE() << "not listed in the suite's table: add its expected result";
      continue;
    }
    const TOutcome expected = row ? row->Outcome : suite.Default;

    TPictureIO io;
    io.LoadFromFile((folder / file).string());
    if (expected == TOutcome::kNoCrash) continue;
    if (expected == TOutcome::kFails) {
      EXPECT_TRUE(io.Aborted()) << "expected to fail: " << (row ? row->Why : "the suite's files are bad");
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
      const std::string diff = CompareWithPicture(bitmap, *other.TargetBitmap());
      EXPECT_TRUE(diff.empty()) << "differs from " << row->SameAs << ": " << diff;
    }

    const std::vector<std::string> refs = ReferencesOf(suite, row, file, refMap);
    if (refs.empty()) continue;
    std::string differences;
    bool matched = false;
    for (const std::string& r : refs) {
      TRefImage ref;
      std::string error;
      if (!ReadPngReference(root + "/" + r, ref, &error)) {
        differences += "\n  " + error;
        continue;
      }
      const std::string diff =
          CompareWithReference(bitmap, ref, row ? row->Tolerance : 0, row ? row->ColourOnly : false);
      if (diff.empty()) {
        matched = true;
        break;
      }
      differences += "\n  " + r + ": " + diff;
    }
    EXPECT_TRUE(matched) << "matches no reference:" << differences;
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, ConformanceTest, testing::ValuesIn(Suites()),
                         [](const testing::TestParamInfo<TSuite>& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace rv
