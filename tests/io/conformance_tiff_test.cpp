// Conformance of the TIFF reader on ../shared/corpus/tiff: every file listed
// in its INDEX.tsv goes through TPictureIO (format by content) and must
// either load and match libtiff's own RGBA decoding (tiff2rgba, from
// libtiff-tools, run on the same file in the same test) or, for the layouts
// and compressions this reader does not decode, fail cleanly with a reason.
// The second group is the table below, each with its reason.
//
// libtiff's RGBA output premultiplies unassociated alpha; such files are
// compared with our colours premultiplied the same way. Where alpha is 0
// colours are not compared.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "conformance.h"
#include "imaging/pxbitmap.h"
#include "io/pictureio.h"

namespace rv {
namespace {

namespace fs = std::filesystem;
using TBytes = std::vector<uint8_t>;

using test::TOutcome;

std::string TiffCorpus() {
  return test::CorpusRoot() + "/tiff/";
}

struct TExpectation {
  const char* File;
  TOutcome Outcome;
  const char* Why;
  int Tolerance = 0;
};

// Files that do not load (or load but are not compared), with the reason.
const std::vector<TExpectation>& Expectations() {
  using enum TOutcome;
  static const std::vector<TExpectation> table = {
      {"pillow/16bit.r.tif", kLoadsUncompared,
       "fill order 2 outside fax data: read in bytes; libtiff's RGBA result matches neither bit order"},
      {"pillow/tiff_gray_2_4_bpp/hopper2R.tif", kLoadsUncompared,
       "fill order 2 outside fax data: read in bytes; libtiff's RGBA result matches neither bit order"},
      {"pillow/tiff_gray_2_4_bpp/hopper2IR.tif", kLoadsUncompared,
       "fill order 2 outside fax data: read in bytes; libtiff's RGBA result matches neither bit order"},
      {"pillow/tiff_gray_2_4_bpp/hopper4R.tif", kLoadsUncompared,
       "fill order 2 outside fax data: read in bytes; libtiff's RGBA result matches neither bit order"},
      {"pillow/tiff_gray_2_4_bpp/hopper4IR.tif", kLoadsUncompared,
       "fill order 2 outside fax data: read in bytes; libtiff's RGBA result matches neither bit order"},
      {"image-rs/rgb-3c-16b.tiff", kLoads, "16-bit samples: the upper byte, where libtiff rounds", 1},
      {"image-rs/rgb32f_bw.tiff", kFails, "floating-point samples are not decoded"},
      {"image-rs/rgb32f_color.tiff", kFails, "floating-point samples are not decoded"},
      {"image-rs/ycbcr_lzw_broken.tif", kFails, "YCbCr is decoded only inside JPEG data"},
      {"image-tiff/12bit.cropped.rgb.tiff", kFails, "RGB samples of 12 bits are not a decoded layout"},
      {"image-tiff/12bit.cropped.tiff", kFails, "gray samples of 12 bits are not a decoded layout"},
      {"image-tiff/cmyk-3c-16b.tiff", kLoadsUncompared,
       "16-bit CMYK: libtiff's RGBA reader has no such layout to compare with"},
      {"image-tiff/hpredict-1c-12b.tiff", kFails, "gray samples of 12 bits are not a decoded layout"},
      {"image-tiff/logluv-3c-16b.tiff", kFails, "SGILog compression is not one the reader decodes"},
      {"image-tiff/minisblack-1c-3b.tiff", kLoadsUncompared,
       "3, 5, 6 and 7-bit gray: libtiff's RGBA reader has no such layout to compare with"},
      {"image-tiff/minisblack-1c-5b.tiff", kLoadsUncompared,
       "3, 5, 6 and 7-bit gray: libtiff's RGBA reader has no such layout to compare with"},
      {"image-tiff/minisblack-1c-7b.tiff", kLoadsUncompared,
       "3, 5, 6 and 7-bit gray: libtiff's RGBA reader has no such layout to compare with"},
      {"image-tiff/minisblack-1c-i16b.tiff", kFails, "signed samples are not decoded"},
      {"image-tiff/minisblack-1c-i8b.tiff", kFails, "signed samples are not decoded"},
      {"image-tiff/miniswhite-1c-12b.tiff", kFails, "gray samples of 12 bits are not a decoded layout"},
      {"image-tiff/miniswhite-1c-3b.tiff", kLoadsUncompared,
       "3, 5, 6 and 7-bit gray: libtiff's RGBA reader has no such layout to compare with"},
      {"image-tiff/miniswhite-1c-6b.tiff", kLoadsUncompared,
       "3, 5, 6 and 7-bit gray: libtiff's RGBA reader has no such layout to compare with"},
      {"image-tiff/rgb-3c-16b.tiff", kLoads, "16-bit samples: the upper byte, where libtiff rounds", 1},
      {"image-tiff/tiled-oversize-gray-i8.tif", kFails, "signed samples are not decoded"},
      {"image-tiff/seq/seq-1c-10b-6d739fa2.tiff", kFails, "gray samples of 10 bits are not a decoded layout"},
      {"image-tiff/seq/seq-1c-10b-hpredict-6d739fa2.tiff", kFails, "gray samples of 10 bits are not a decoded layout"},
      {"image-tiff/seq/seq-1c-10b-miniswhite-6d739fa2.tiff", kFails,
       "gray samples of 10 bits are not a decoded layout"},
      {"image-tiff/seq/seq-1c-12b-47c39b31.tiff", kFails, "gray samples of 12 bits are not a decoded layout"},
      {"image-tiff/seq/seq-1c-12b-hpredict-47c39b31.tiff", kFails, "gray samples of 12 bits are not a decoded layout"},
      {"image-tiff/seq/seq-1c-12b-miniswhite-47c39b31.tiff", kFails,
       "gray samples of 12 bits are not a decoded layout"},
      {"image-tiff/seq/seq-1c-14b-e883657f.tiff", kFails, "gray samples of 14 bits are not a decoded layout"},
      {"image-tiff/seq/seq-1c-14b-hpredict-e883657f.tiff", kFails, "gray samples of 14 bits are not a decoded layout"},
      {"image-tiff/seq/seq-1c-14b-miniswhite-e883657f.tiff", kFails,
       "gray samples of 14 bits are not a decoded layout"},
      {"image-tiff/seq/seq-1c-16b-deflate-68f373a0.tiff", kFails, "Deflate compression is not one the reader decodes"},
      {"image-tiff/seq/seq-1c-24b-072a9dc9.tiff", kFails, "gray samples of 24 bits are not a decoded layout"},
      {"image-tiff/seq/seq-1c-24b-hpredict-072a9dc9.tiff", kFails, "gray samples of 24 bits are not a decoded layout"},
      {"image-tiff/seq/seq-1c-24b-miniswhite-072a9dc9.tiff", kFails,
       "gray samples of 24 bits are not a decoded layout"},
      {"image-tiff/seq/seq-1c-32f-390fe673.tiff", kFails, "floating-point samples are not decoded"},
      {"image-tiff/seq/seq-1c-32f-deflate-fpredict-390fe673.tiff", kFails,
       "Deflate compression is not one the reader decodes"},
      {"image-tiff/seq/seq-1c-3b-ef237c07.tiff", kLoadsUncompared,
       "3, 5, 6 and 7-bit gray: libtiff's RGBA reader has no such layout to compare with"},
      {"image-tiff/seq/seq-1c-3b-miniswhite-ef237c07.tiff", kLoadsUncompared,
       "3, 5, 6 and 7-bit gray: libtiff's RGBA reader has no such layout to compare with"},
      {"image-tiff/seq/seq-1c-5b-73098d17.tiff", kLoadsUncompared,
       "3, 5, 6 and 7-bit gray: libtiff's RGBA reader has no such layout to compare with"},
      {"image-tiff/seq/seq-1c-5b-miniswhite-73098d17.tiff", kLoadsUncompared,
       "3, 5, 6 and 7-bit gray: libtiff's RGBA reader has no such layout to compare with"},
      {"image-tiff/seq/seq-1c-64f-afa8560e.tiff", kFails, "floating-point samples are not decoded"},
      {"image-tiff/seq/seq-1c-64f-deflate-fpredict-afa8560e.tiff", kFails,
       "Deflate compression is not one the reader decodes"},
      {"image-tiff/seq/seq-1c-6b-miniswhite-79cafbb6.tiff", kLoadsUncompared,
       "3, 5, 6 and 7-bit gray: libtiff's RGBA reader has no such layout to compare with"},
      {"image-tiff/seq/seq-1c-7b-9c61ba70.tiff", kLoadsUncompared,
       "3, 5, 6 and 7-bit gray: libtiff's RGBA reader has no such layout to compare with"},
      {"image-tiff/seq/seq-1c-7b-miniswhite-9c61ba70.tiff", kLoadsUncompared,
       "3, 5, 6 and 7-bit gray: libtiff's RGBA reader has no such layout to compare with"},
      {"image-tiff/seq/seq-1c-8b-deflate-20f3db0c.tiff", kFails, "Deflate compression is not one the reader decodes"},
      {"image-tiff/seq/seq-1c-8b-tiled-deflate-20f3db0c.tiff", kFails,
       "Deflate compression is not one the reader decodes"},
      {"image-tiff/seq/seq-1c-i16-63af2488.tiff", kFails, "signed samples are not decoded"},
      {"image-tiff/seq/seq-1c-i32-99fddec2.tiff", kFails, "signed samples are not decoded"},
      {"image-tiff/seq/seq-1c-i8-f8446bbe.tiff", kFails, "signed samples are not decoded"},
      {"image-tiff/seq/seq-3c-10b-contig-d08d5dc0.tiff", kFails, "RGB samples of 10 bits are not a decoded layout"},
      {"image-tiff/seq/seq-3c-10b-planar-c82e8ab6.tiff", kFails, "RGB samples of 10 bits are not a decoded layout"},
      {"image-tiff/seq/seq-3c-12b-contig-e6f40b4a.tiff", kFails, "RGB samples of 12 bits are not a decoded layout"},
      {"image-tiff/seq/seq-3c-12b-planar-e29e8e25.tiff", kFails, "RGB samples of 12 bits are not a decoded layout"},
      {"image-tiff/seq/seq-3c-14b-contig-f4dcc6cc.tiff", kFails, "RGB samples of 14 bits are not a decoded layout"},
      {"image-tiff/seq/seq-3c-14b-planar-4dde706b.tiff", kFails, "RGB samples of 14 bits are not a decoded layout"},
      {"image-tiff/seq/seq-3c-24b-contig-27b9f8ce.tiff", kFails, "RGB samples of 24 bits are not a decoded layout"},
      {"image-tiff/seq/seq-3c-24b-planar-6296c0c9.tiff", kFails, "RGB samples of 24 bits are not a decoded layout"},
      {"image-tiff/seq/seq-3c-32f-9a471c2b.tiff", kFails, "floating-point samples are not decoded"},
      {"image-tiff/seq/seq-3c-5b-contig-09f197f4.tiff", kFails, "RGB samples of 5 bits are not a decoded layout"},
      {"image-tiff/seq/seq-3c-64f-9fff098a.tiff", kFails, "floating-point samples are not decoded"},
      {"image-tiff/seq/seq-3c-7b-contig-2e4f43c5.tiff", kFails, "RGB samples of 7 bits are not a decoded layout"},
      {"image-tiff/seq/seq-3c-i16-f7fcf423.tiff", kFails, "signed samples are not decoded"},
      {"image-tiff/seq/seq-3c-i8-d7550ce4.tiff", kFails, "signed samples are not decoded"},
      {"image-tiff/seq/seq-4c-16b-cmyk-c6e52592.tiff", kLoadsUncompared,
       "16-bit CMYK: libtiff's RGBA reader has no such layout to compare with"},
      {"image-tiff/seq/seq-4c-16b-rgba-5181991f.tiff", kLoads, "16-bit samples: the upper byte, where libtiff rounds",
       1},
      {"libtiffpic/caspian.tif", kFails, "Deflate compression is not one the reader decodes"},
      {"libtiffpic/dscf0013.tif", kFails, "YCbCr is decoded only inside JPEG data"},
      {"libtiffpic/ladoga.tif", kFails, "Deflate compression is not one the reader decodes"},
      {"libtiffpic/off_l16.tif", kFails, "SGILog compression is not one the reader decodes"},
      {"libtiffpic/off_luv24.tif", kFails, "SGILog compression is not one the reader decodes"},
      {"libtiffpic/off_luv32.tif", kFails, "SGILog compression is not one the reader decodes"},
      {"libtiffpic/smallliz.tif", kLoadsUncompared,
       "old-style JPEG: libtiff decodes it through its own JPEG set-up (raw chroma, its own upsampling); colour edges "
       "differ by up to 20 levels"},
      {"libtiffpic/text.tif", kFails, "ThunderScan compression is not one the reader decodes"},
      {"libtiffpic/ycbcr-cat.tif", kFails, "YCbCr is decoded only inside JPEG data"},
      {"libtiffpic/zackthecat.tif", kFails, "old-style JPEG without a whole JPEG stream (tables and scans in strips)"},
      {"libtiffpic/depth/flower-minisblack-06.tif", kLoadsUncompared,
       "3, 5, 6 and 7-bit gray: libtiff's RGBA reader has no such layout to compare with"},
      {"libtiffpic/depth/flower-minisblack-10.tif", kFails, "gray samples of 10 bits are not a decoded layout"},
      {"libtiffpic/depth/flower-minisblack-12.tif", kFails, "gray samples of 12 bits are not a decoded layout"},
      {"libtiffpic/depth/flower-minisblack-14.tif", kFails, "gray samples of 14 bits are not a decoded layout"},
      {"libtiffpic/depth/flower-minisblack-24.tif", kFails, "gray samples of 24 bits are not a decoded layout"},
      {"libtiffpic/depth/flower-minisblack-32.tif", kFails, "gray samples of 32 bits are not a decoded layout"},
      {"libtiffpic/depth/flower-palette-16.tif", kFails, "palette samples of 16 bits are not a decoded layout"},
      {"libtiffpic/depth/flower-rgb-contig-02.tif", kFails, "RGB samples of 2 bits are not a decoded layout"},
      {"libtiffpic/depth/flower-rgb-contig-04.tif", kFails, "RGB samples of 4 bits are not a decoded layout"},
      {"libtiffpic/depth/flower-rgb-contig-10.tif", kFails, "RGB samples of 10 bits are not a decoded layout"},
      {"libtiffpic/depth/flower-rgb-contig-12.tif", kFails, "RGB samples of 12 bits are not a decoded layout"},
      {"libtiffpic/depth/flower-rgb-contig-14.tif", kFails, "RGB samples of 14 bits are not a decoded layout"},
      {"libtiffpic/depth/flower-rgb-contig-16.tif", kLoads, "16-bit samples: the upper byte, where libtiff rounds", 1},
      {"libtiffpic/depth/flower-rgb-contig-24.tif", kFails, "RGB samples of 24 bits are not a decoded layout"},
      {"libtiffpic/depth/flower-rgb-contig-32.tif", kFails, "RGB samples of 32 bits are not a decoded layout"},
      {"libtiffpic/depth/flower-rgb-planar-02.tif", kFails, "RGB samples of 2 bits are not a decoded layout"},
      {"libtiffpic/depth/flower-rgb-planar-04.tif", kFails, "RGB samples of 4 bits are not a decoded layout"},
      {"libtiffpic/depth/flower-rgb-planar-10.tif", kFails, "RGB samples of 10 bits are not a decoded layout"},
      {"libtiffpic/depth/flower-rgb-planar-12.tif", kFails, "RGB samples of 12 bits are not a decoded layout"},
      {"libtiffpic/depth/flower-rgb-planar-14.tif", kFails, "RGB samples of 14 bits are not a decoded layout"},
      {"libtiffpic/depth/flower-rgb-planar-16.tif", kLoads, "16-bit samples: the upper byte, where libtiff rounds", 1},
      {"libtiffpic/depth/flower-rgb-planar-24.tif", kFails, "RGB samples of 24 bits are not a decoded layout"},
      {"libtiffpic/depth/flower-rgb-planar-32.tif", kFails, "RGB samples of 32 bits are not a decoded layout"},
      {"libtiffpic/depth/flower-separated-contig-16.tif", kLoadsUncompared,
       "16-bit CMYK: libtiff's RGBA reader has no such layout to compare with"},
      {"libtiffpic/depth/flower-separated-planar-16.tif", kLoadsUncompared,
       "16-bit CMYK: libtiff's RGBA reader has no such layout to compare with"},
      {"pillow/10ct_32bit_128.tiff", kFails, "floating-point samples are not decoded"},
      {"pillow/12bit.cropped.tif", kFails, "gray samples of 12 bits are not a decoded layout"},
      {"pillow/16_bit_binary_pgm.tiff", kFails, "signed samples are not decoded"},
      {"pillow/16bit.MM.deflate.tif", kFails, "Deflate compression is not one the reader decodes"},
      {"pillow/16bit.s.tif", kFails, "signed samples are not decoded"},
      {"pillow/8bit.s.tif", kFails, "signed samples are not decoded"},
      {"pillow/g4_orientation_2.tif", kLoadsUncompared,
       "libtiff's RGBA reading applies the orientation tag; this reader turns the picture only with TiffAutoRotate"},
      {"pillow/g4_orientation_3.tif", kLoadsUncompared,
       "libtiff's RGBA reading applies the orientation tag; this reader turns the picture only with TiffAutoRotate"},
      {"pillow/g4_orientation_4.tif", kLoadsUncompared,
       "libtiff's RGBA reading applies the orientation tag; this reader turns the picture only with TiffAutoRotate"},
      {"pillow/g4_orientation_6.tif", kLoadsUncompared,
       "libtiff's RGBA reading applies the orientation tag; this reader turns the picture only with TiffAutoRotate"},
      {"pillow/g4_orientation_7.tif", kLoadsUncompared,
       "libtiff's RGBA reading applies the orientation tag; this reader turns the picture only with TiffAutoRotate"},
      {"pillow/g4_orientation_8.tif", kLoadsUncompared,
       "libtiff's RGBA reading applies the orientation tag; this reader turns the picture only with TiffAutoRotate"},
      {"pillow/hopper.Lab.tif", kLoadsUncompared,
       "CIE Lab goes through the imaging layer's Lab rule, not libtiff's CIE conversion"},
      {"pillow/lab-green.tif", kLoadsUncompared,
       "CIE Lab goes through the imaging layer's Lab rule, not libtiff's CIE conversion"},
      {"pillow/lab-red.tif", kLoadsUncompared,
       "CIE Lab goes through the imaging layer's Lab rule, not libtiff's CIE conversion"},
      {"pillow/lab.tif", kLoadsUncompared,
       "CIE Lab goes through the imaging layer's Lab rule, not libtiff's CIE conversion"},
      {"pillow/old-style-jpeg-compression.tif", kLoadsUncompared,
       "old-style JPEG: libtiff decodes it through its own JPEG set-up (raw chroma, its own upsampling); colour edges "
       "differ by up to 20 levels"},
      {"pillow/separate_planar_extra_samples.tiff", kFails, "Deflate compression is not one the reader decodes"},
      {"pillow/tiff_16bit_RGB.tiff", kFails, "Deflate compression is not one the reader decodes"},
      {"pillow/tiff_16bit_RGBa.tiff", kLoads, "16-bit samples: the upper byte, where libtiff rounds", 1},
      {"pillow/tiff_adobe_deflate.tif", kFails, "Deflate compression is not one the reader decodes"},
      {"pillow/tiff_strip_cmyk_16l_jpeg.tif", kLoadsUncompared,
       "16-bit CMYK: libtiff's RGBA reader has no such layout to compare with"},
      {"pillow/tiff_strip_planar_16bit_RGB.tiff", kLoads, "16-bit samples: the upper byte, where libtiff rounds", 1},
      {"pillow/tiff_tiled_planar_16bit_RGB.tiff", kLoads, "16-bit samples: the upper byte, where libtiff rounds", 1},
      {"pillow/tiff_wrong_bits_per_sample_2.tiff", kFails, "bits per sample differ between samples"},
      {"zigimg/sample-grayscale8-deflate.tiff", kFails, "Deflate compression is not one the reader decodes"},
      {"zigimg/sample-monob-deflate.tiff", kFails, "Deflate compression is not one the reader decodes"},
      {"zigimg/sample-pal8-deflate.tiff", kFails, "Deflate compression is not one the reader decodes"},
      {"zigimg/sample-rgb24-deflate.tiff", kFails, "Deflate compression is not one the reader decodes"},
      {"zigimg/sample-rgba-deflate.tiff", kFails, "Deflate compression is not one the reader decodes"},
  };
  return table;
}

const TExpectation* Find(const std::string& file) {
  for (const TExpectation& e : Expectations())
    if (file == e.File) return &e;
  return nullptr;
}

TBytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return TBytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// libtiff's RGBA picture of the first directory: top-down, R G B A bytes.
struct TRgba {
  int64_t Width = 0, Height = 0;
  TBytes Pixels;
};

bool HaveTiff2Rgba() {
  return std::system("command -v tiff2rgba >/dev/null 2>&1") == 0;
}

// tiff2rgba writes an uncompressed little- or big-endian RGBA TIFF in strips.
bool LibTiffRgba(const std::string& file, TRgba& out) {
  char tmpl[] = "/tmp/rv_tiffref_XXXXXX";
  const int fd = mkstemp(tmpl);
  if (fd < 0) return false;
  close(fd);
  const std::string cmd = "tiff2rgba -c none '" + file + "' " + tmpl + " >/dev/null 2>&1";
  const bool ran = std::system(cmd.c_str()) == 0;
  const TBytes t = ReadFile(tmpl);
  std::remove(tmpl);
  if (!ran || t.size() < 8) return false;
  const bool be = t[0] == 'M';
  auto u16 = [&](size_t p) { return be ? unsigned(t[p] << 8 | t[p + 1]) : unsigned(t[p] | t[p + 1] << 8); };
  auto u32 = [&](size_t p) {
    return be ? (uint32_t(u16(p)) << 16 | u16(p + 2)) : (uint32_t(u16(p)) | uint32_t(u16(p + 2)) << 16);
  };
  const size_t ifd = u32(4);
  if (ifd + 2 > t.size()) return false;
  const unsigned n = u16(ifd);
  std::map<unsigned, std::vector<uint32_t>> tags;
  for (unsigned i = 0; i < n && ifd + 2 + 12 * (i + 1) <= t.size(); ++i) {
    const size_t e = ifd + 2 + 12 * i;
    const unsigned tag = u16(e), type = u16(e + 2);
    const uint32_t count = u32(e + 4);
    const unsigned size = type == 3 ? 2 : 4;
    const size_t at = size * count <= 4 ? e + 8 : u32(e + 8);
    for (uint32_t k = 0; k < count && k < 100000 && at + size * (k + 1) <= t.size(); ++k)
      tags[tag].push_back(type == 3 ? u16(at + 2 * k) : u32(at + 4 * k));
  }
  if (tags[256].empty() || tags[257].empty() || tags[273].empty()) return false;
  out.Width = tags[256][0];
  out.Height = tags[257][0];
  const unsigned spp = tags[277].empty() ? 1 : tags[277][0];
  if (spp != 4 && spp != 3) return false;
  out.Pixels.clear();
  for (size_t s = 0; s < tags[273].size(); ++s) {
    const size_t off = tags[273][s], cnt = tags[279][s];
    if (off + cnt > t.size()) return false;
    out.Pixels.insert(out.Pixels.end(), t.begin() + long(off), t.begin() + long(off + cnt));
  }
  if (spp == 3) {
    TBytes rgba;
    for (size_t i = 0; i + 3 <= out.Pixels.size(); i += 3)
      rgba.insert(rgba.end(), {out.Pixels[i], out.Pixels[i + 1], out.Pixels[i + 2], 255});
    out.Pixels = std::move(rgba);
  }
  return int64_t(out.Pixels.size()) >= out.Width * out.Height * 4;
}

// Empty when equal, else the first difference.
std::string Compare(TPxBitmap& bitmap, const TRgba& ref, int tolerance) {
  if (bitmap.Width() != ref.Width || bitmap.Height() != ref.Height)
    return "size " + std::to_string(bitmap.Width()) + "x" + std::to_string(bitmap.Height()) + ", libtiff " +
           std::to_string(ref.Width) + "x" + std::to_string(ref.Height);
  TPxBitmap* alpha = bitmap.HasAlphaChannel() ? bitmap.AlphaChannel() : nullptr;
  auto attempt = [&](bool premultiply) -> std::string {
    for (int y = 0; y < ref.Height; ++y) {
      for (int x = 0; x < ref.Width; ++x) {
        const TColorBGR c = bitmap.ColorAt(x, y);
        const int a = alpha ? alpha->ByteAt(x, y) : 255;
        const uint8_t* r = &ref.Pixels[size_t((int64_t(y) * ref.Width + x) * 4)];
        int ours[3] = {c.r, c.g, c.b};
        if (premultiply)
          for (int& v : ours) v = (v * a + 127) / 255;
        bool differs = std::abs(a - r[3]) > tolerance;
        for (int k = 0; k < 3 && r[3] != 0; ++k) differs = differs || std::abs(ours[k] - r[k]) > tolerance;
        if (differs) {
          std::ostringstream s;
          s << "pixel (" << x << ", " << y << ") is RGBA " << ours[0] << "," << ours[1] << "," << ours[2] << "," << a
            << ", libtiff " << int(r[0]) << "," << int(r[1]) << "," << int(r[2]) << "," << int(r[3]);
          return s.str();
        }
      }
    }
    return "";
  };
  const std::string plain = attempt(false);
  if (plain.empty() || !alpha) return plain;
  const std::string pre = attempt(true);
  return pre.empty() ? pre : plain;
}

std::vector<std::string> IndexedFiles() {
  std::vector<std::string> files;
  std::ifstream in(TiffCorpus() + "INDEX.tsv");
  std::string line;
  std::getline(in, line);  // heading
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    if (tab != std::string::npos && line.find("bigtiff") == std::string::npos) files.push_back(line.substr(0, tab));
  }
  return files;
}

TEST(TiffConformance, EveryFileMatchesLibTiffOrFailsAsListed) {
  if (!fs::is_directory(TiffCorpus())) GTEST_SKIP() << "no TIFF corpus at " << TiffCorpus();
  if (!HaveTiff2Rgba()) GTEST_SKIP() << "tiff2rgba (libtiff-tools) is needed for the references: scripts/setup";
  const std::vector<std::string> files = IndexedFiles();
  ASSERT_FALSE(files.empty());
  for (const TExpectation& e : Expectations())
    EXPECT_TRUE(std::find(files.begin(), files.end(), e.File) != files.end())
        << "listed file " << e.File << " is missing";
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    const TExpectation* row = Find(file);
    TPictureIO io;
    io.LoadFromFile(TiffCorpus() + file);
    if (row && row->Outcome == TOutcome::kNoCrash) continue;
    if (row && row->Outcome == TOutcome::kFails) {
      EXPECT_TRUE(io.Aborted()) << "expected to fail: " << row->Why;
      EXPECT_FALSE(io.AbortReason().empty());
      continue;
    }
    if (io.Aborted()) {
      ADD_FAILURE() << "fails: " << io.AbortReason();
      continue;
    }
    if (row && row->Outcome == TOutcome::kLoadsUncompared) continue;
    TRgba ref;
    if (!LibTiffRgba(TiffCorpus() + file, ref)) {
      ADD_FAILURE() << "libtiff cannot decode it: list it with a reason";
      continue;
    }
    const std::string diff = Compare(*io.TargetBitmap(), ref, row ? row->Tolerance : 0);
    EXPECT_TRUE(diff.empty()) << diff;
  }
}

// BigTIFF (version 43) is not classic TIFF: every such file fails cleanly.
TEST(TiffConformance, BigTiffFailsCleanly) {
  std::ifstream in(TiffCorpus() + "INDEX.tsv");
  if (!in) GTEST_SKIP() << "no TIFF corpus";
  std::string line;
  int seen = 0;
  while (std::getline(in, line)) {
    if (line.find("bigtiff") == std::string::npos || line.find('\t') == std::string::npos) continue;
    const std::string file = line.substr(0, line.find('\t'));
    SCOPED_TRACE(file);
    TPictureIO io;
    io.LoadFileAsFormat(TiffCorpus() + file, 1);
    EXPECT_TRUE(io.Aborted());
    EXPECT_FALSE(io.AbortReason().empty());
    ++seen;
  }
  EXPECT_GT(seen, 0);
}

// The corrupt collection: no TIFF there may crash; a failure gives a reason.
TEST(TiffConformance, CorruptFilesNeverCrash) {
  const fs::path corrupt = fs::path(TiffCorpus()) / "../corrupt";
  if (!fs::is_directory(corrupt)) GTEST_SKIP() << "no corrupt collection";
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(corrupt)) {
    if (!e.is_regular_file()) continue;
    const TBytes head = ReadFile(e.path().string());
    if (head.size() < 4 || !((head[0] == 'I' && head[1] == 'I') || (head[0] == 'M' && head[1] == 'M'))) continue;
    SCOPED_TRACE(e.path().string());
    TPictureIO io;
    io.LoadFileAsFormat(e.path().string(), 1);
    if (io.Aborted()) {
      EXPECT_FALSE(io.AbortReason().empty());
    }
  }
}

}  // namespace
}  // namespace rv
