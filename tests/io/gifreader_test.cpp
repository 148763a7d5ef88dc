// The GIF reader through TPictureIO's GIF loads and ReadGif
// alone, on GIFs written byte by byte by the builder below.
#include "io/readers/gifreader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "giffile.h"
#include "imaging/pxbitmap.h"
#include "imaging/pxmask.h"
#include "imaging/pxstreams.h"
#include "io/pictureio.h"
#include "io/readers/giflzw.h"
#include "platform/stream.h"

namespace rv {
namespace {

using namespace testing_support::gif;

const std::vector<TRgb> kFour = {{{10, 20, 30}}, {{200, 0, 0}}, {{0, 200, 0}}, {{0, 0, 200}}};

TColorBGR Bgr(const TRgb& c) {
  return MakeBGR(c[0], c[1], c[2]);
}

struct TLoaded {
  std::unique_ptr<TPictureIO> Io = std::make_unique<TPictureIO>();
  int32_t Count = 0;
  TPxBitmap& Bitmap() { return *Io->TargetBitmap(); }
  TIOParamsVals& Params() { return Io->ImageParams(); }
};

TLoaded Load(const std::vector<uint8_t>& file, int index = 0, bool native = false) {
  TLoaded r;
  r.Params().SetImageIndex(index);
  r.Io->SetNativePixelFormat(native);
  TPxMemStream stream(file.data(), int64_t(file.size()));
  r.Count = r.Io->LoadGifStream(stream);
  return r;
}

// Colour and alpha of every pixel, "r,g,b,a" rows, for readable comparisons.
std::vector<std::string> Pixels(TPxBitmap& b) {
  std::vector<std::string> rows;
  TPxBitmap* alpha = b.HasAlphaChannel() ? b.AlphaChannel() : nullptr;
  for (int y = 0; y < b.Height(); ++y) {
    std::string row;
    for (int x = 0; x < b.Width(); ++x) {
      const TColorBGR c = b.ColorAt(x, y);
      const int a = alpha ? alpha->ByteAt(x, y) : 255;
      row += (x ? " " : "") + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + "," +
             std::to_string(a);
    }
    rows.push_back(row);
  }
  return rows;
}

TEST(GifReaderTest, StillPictureWithTransparencyIsTheImageNotTheScreen) {
  TGif gif;
  gif.ScreenWidth = 10;
  gif.ScreenHeight = 10;
  gif.Global = kFour;
  TFrame f;
  f.Left = 3;
  f.Top = 2;
  f.Width = 2;
  f.Height = 2;
  f.Indices = {0, 1, 2, 3};
  f.Control = true;
  f.Transparent = true;
  f.TransparentIndex = 2;
  f.Delay = 7;
  gif.Frames = {f};
  TLoaded r = Load(gif.Bytes());
  ASSERT_FALSE(r.Io->Aborted()) << r.Io->AbortReason();
  EXPECT_EQ(r.Count, 1);
  EXPECT_EQ(r.Bitmap().Format(), pxRGB24);
  EXPECT_EQ(Pixels(r.Bitmap()), (std::vector<std::string>{"10,20,30,255 200,0,0,255", "0,200,0,0 0,0,200,255"}));
  const TIOParamsVals& p = r.Params();
  EXPECT_EQ(p.GifScreenWidth, 10);
  EXPECT_EQ(p.GifXPos, 3);
  EXPECT_EQ(p.GifYPos, 2);
  EXPECT_EQ(p.GifDelayTime, 7);
  EXPECT_EQ(p.GifTransparent, 1);
  EXPECT_EQ(p.GifTransparentColor, MakeBGR(0, 200, 0));
  EXPECT_EQ(p.BitsPerSample, 2);
  EXPECT_EQ(p.ColorMapCount(), 4);
  EXPECT_EQ(p.FileType, 2);
  EXPECT_EQ(p.GifVersion, "GIF89a");
  // Without a viewer the component keeps the transparent colour as its background.
  EXPECT_EQ(r.Io->Background(), BGRToColor(MakeBGR(0, 200, 0)));
}

TEST(GifReaderTest, NativePixelFormatKeepsThePalette) {
  TGif gif;
  gif.Global = kFour;
  TFrame f;
  f.Width = 4;
  f.Indices = {3, 2, 1, 0};
  gif.Frames = {f};
  TLoaded r = Load(gif.Bytes(), 0, true);
  ASSERT_FALSE(r.Io->Aborted()) << r.Io->AbortReason();
  ASSERT_EQ(r.Bitmap().Format(), pxPalette8);
  EXPECT_EQ(r.Bitmap().QuantizeColors(), 4);
  for (int x = 0; x < 4; ++x) EXPECT_EQ(r.Bitmap().RowPointer(0)[x], 3 - x);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(r.Bitmap().Palette()[i], Bgr(kFour[size_t(i)]));
  EXPECT_FALSE(r.Bitmap().HasAlphaChannel());
}

TEST(GifReaderTest, BlackAndWhiteTableGivesMonoWithTheNinthPixel) {
  TGif gif;
  gif.Global = {{{0, 0, 0}}, {{255, 255, 255}}};
  TFrame f;
  f.Width = 9;
  f.Height = 2;
  f.Indices = {1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 1, 1, 1, 1, 1, 1, 0};
  gif.Frames = {f};
  TLoaded r = Load(gif.Bytes());
  ASSERT_FALSE(r.Io->Aborted()) << r.Io->AbortReason();
  ASSERT_EQ(r.Bitmap().Format(), pxMono1);
  EXPECT_FALSE(r.Bitmap().HasAlphaChannel());
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 9; ++x)
      EXPECT_EQ(r.Bitmap().ColorAt(x, y).r, f.Indices[size_t(y * 9 + x)] ? 255 : 0) << x << "," << y;
}

TEST(GifReaderTest, InterlacedRowsLandInPlace) {
  for (int height : {1, 3, 5, 9, 17}) {
    TGif gif;
    gif.Global = kFour;
    TFrame f;
    f.Width = 2;
    f.Height = height;
    f.Interlaced = true;
    for (int y = 0; y < height; ++y) f.Indices.insert(f.Indices.end(), {uint8_t(y % 4), uint8_t((y / 4) % 4)});
    gif.Frames = {f};
    TLoaded r = Load(gif.Bytes(), 0, true);
    ASSERT_FALSE(r.Io->Aborted()) << r.Io->AbortReason();
    EXPECT_EQ(r.Params().GifInterlaced, 1);
    for (int y = 0; y < height; ++y) {
      EXPECT_EQ(r.Bitmap().RowPointer(y)[0], y % 4) << "height " << height << " row " << y;
      EXPECT_EQ(r.Bitmap().RowPointer(y)[1], (y / 4) % 4) << "height " << height << " row " << y;
    }
  }
}

// A local table replaces the global one; indices past the table show black;
// with no table at all the indices are gray levels.
TEST(GifReaderTest, ColourTables) {
  struct TCase {
    const char* Name;
    std::vector<TRgb> Global, Local;
    std::vector<uint8_t> Indices;
    std::vector<TColorBGR> Expected;
  };
  const TRgb red{{255, 0, 0}}, green{{0, 255, 0}};
  const TCase cases[] = {
      {"local over global", kFour, {red, green}, {1, 0}, {Bgr(green), Bgr(red)}},
      {"index past the table", {red, green}, {}, {1, 3}, {Bgr(green), TColorBGR{}}},
      {"no table", {}, {}, {3, 2}, {MakeBGR(3, 3, 3), MakeBGR(2, 2, 2)}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TGif gif;
    gif.Global = c.Global;
    TFrame f;
    f.Width = 2;
    f.Local = c.Local;
    f.Indices = c.Indices;
    f.MinCodeSize = 2;
    gif.Frames = {f};
    TLoaded r = Load(gif.Bytes());
    ASSERT_FALSE(r.Io->Aborted()) << r.Io->AbortReason();
    ASSERT_EQ(r.Bitmap().Format(), pxRGB24);
    for (int x = 0; x < 2; ++x) EXPECT_EQ(r.Bitmap().ColorAt(x, 0), c.Expected[size_t(x)]) << x;
  }
}

TEST(GifReaderTest, CommentsOfEveryBlockOnceEach) {
  TGif gif;
  gif.Global = kFour;
  gif.Comments = {{"first", "second"}, {"third", std::string("four\0th", 7)}};
  TFrame f;
  f.Indices = {1};
  gif.Frames = {f, f, f};
  for (int index : {0, 2}) {
    TLoaded r = Load(gif.Bytes(), index);
    EXPECT_EQ(r.Params().GifComments, (std::vector<std::string>{"first", "second", "third", "four"}))
        << "index " << index;
  }
}

// The three-frame animation of ThreeFrameAnimation.
class GifAnimationTest : public testing::Test {
 protected:
  TGif gif_ = ThreeFrameAnimation();
};

TEST_F(GifAnimationTest, FrameZeroOnTheScreenCanvas) {
  TLoaded r = Load(gif_.Bytes(), 0);
  ASSERT_FALSE(r.Io->Aborted()) << r.Io->AbortReason();
  EXPECT_EQ(r.Count, 3);
  EXPECT_EQ(Pixels(r.Bitmap()), (std::vector<std::string>{
                                    "0,255,0,255 0,255,0,255 255,0,0,0 255,0,0,0",
                                    "0,255,0,255 0,255,0,255 255,0,0,0 255,0,0,0",
                                    "255,0,0,0 255,0,0,0 255,0,0,0 255,0,0,0",
                                }));
}

TEST_F(GifAnimationTest, DisposalTransparencyAndClipping) {
  // Frame 0 restored to the (transparent) background, frame 1 drawn through
  // its hole, frame 2 cut at the screen's right edge.
  TLoaded r = Load(gif_.Bytes(), 2);
  ASSERT_FALSE(r.Io->Aborted()) << r.Io->AbortReason();
  EXPECT_EQ(r.Count, 3);
  EXPECT_EQ(Pixels(r.Bitmap()), (std::vector<std::string>{
                                    "255,0,0,0 255,0,0,0 255,0,0,0 255,255,255,255",
                                    "255,0,0,0 255,0,0,0 0,0,255,255 255,255,255,255",
                                    "255,0,0,0 255,0,0,0 0,0,255,255 0,0,255,255",
                                }));
  EXPECT_EQ(r.Params().GifImageIndex, 2);
  EXPECT_EQ(r.Params().GifDisposal, 2);
  EXPECT_EQ(r.Params().GifXPos, 0);
}

TEST_F(GifAnimationTest, IndexPastTheLastImageComposesThemAll) {
  TLoaded all = Load(gif_.Bytes(), 5);
  TLoaded last = Load(gif_.Bytes(), 2);
  ASSERT_FALSE(all.Io->Aborted()) << all.Io->AbortReason();
  EXPECT_EQ(all.Count, 3);
  EXPECT_EQ(all.Params().GifImageIndex, 5);
  EXPECT_EQ(Pixels(all.Bitmap()), Pixels(last.Bitmap()));
}

// What must fail cleanly, leaving the previous picture.
TEST(GifReaderTest, BadFilesFailAndKeepThePicture) {
  TGif good;
  good.Global = kFour;
  TFrame f;
  f.Indices = {1};
  good.Frames = {f};
  std::vector<uint8_t> codeSize12 = good.Bytes();
  codeSize12[13 + 12 + 10] = 12;  // header, table, descriptor: the code size byte
  std::vector<uint8_t> codeSize1 = codeSize12;
  codeSize1[13 + 12 + 10] = 1;
  std::vector<uint8_t> notGif = good.Bytes();
  notGif[0] = 'J';
  std::vector<uint8_t> headerOnly = good.Bytes();
  headerOnly.resize(13 + 12);
  TGif huge = good;
  huge.Frames[0].Width = 12000;  // within the size limits, not within what a few bytes can hold
  huge.Frames[0].Height = 12000;
  huge.Frames[0].Indices = {1};

  const std::pair<const char*, std::vector<uint8_t>> cases[] = {
      {"code size 12", codeSize12},
      {"code size 1", codeSize1},
      {"no signature", notGif},
      {"header only", headerOnly},
      {"12000 x 12000 in a few bytes", huge.Bytes()},
  };
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    TPictureIO io;
    io.TargetBitmap()->AllocatePixels(3, 3, pxRGB24);
    io.TargetBitmap()->FillWith(0x123456);
    TPxMemStream stream(bytes.data(), int64_t(bytes.size()));
    io.LoadGifStream(stream);
    EXPECT_TRUE(io.Aborted());
    EXPECT_FALSE(io.AbortReason().empty());
    EXPECT_EQ(io.TargetBitmap()->Width(), 3);
    EXPECT_EQ(io.TargetBitmap()->ColorAt(1, 1), ColorToBGR(0x123456));
  }
}

// LZW data that stops early leaves the rest of the picture at index 0.
TEST(GifReaderTest, MissingPixelsAreIndexZero) {
  TGif gif;
  gif.Global = kFour;
  TFrame f;
  f.Width = 3;
  f.Height = 2;
  f.Indices = {3, 2};  // 2 of 6 pixels
  gif.Frames = {f};
  TLoaded r = Load(gif.Bytes());
  ASSERT_FALSE(r.Io->Aborted()) << r.Io->AbortReason();
  EXPECT_EQ(Pixels(r.Bitmap()), (std::vector<std::string>{"0,0,200,255 0,200,0,255 10,20,30,255",
                                                          "10,20,30,255 10,20,30,255 10,20,30,255"}));
}

TEST(GifReaderTest, ImageCountIsCapped) {
  TGif gif;
  gif.Global = kFour;
  TFrame f;
  f.Indices = {1};
  gif.Frames.assign(size_t(kMaxGifImages) + 50, f);
  TLoaded r = Load(gif.Bytes(), 0);
  ASSERT_FALSE(r.Io->Aborted()) << r.Io->AbortReason();
  EXPECT_EQ(r.Count, kMaxGifImages);
}

// ReadGif alone: one image, its mask, and a replaced decoder.
void PatternDecoder(TStream& stream, int height, int width, uint8_t* indices, bool) {
  uint8_t codeSize;
  stream.Read(&codeSize, 1);
  ReadGifSubBlocks(stream, nullptr);
  for (int i = 0; i < width * height; ++i) indices[i] = uint8_t(i % 4);
}
void StuckDecoder(TStream&, int, int, uint8_t*, bool) {}

TEST(GifReaderTest, ReplaceableDecoder) {
  TGif gif;
  gif.Global = kFour;
  TFrame f;
  f.Width = 4;
  f.Indices = {0, 0, 0, 0};
  gif.Frames = {f};
  const std::vector<uint8_t> bytes = gif.Bytes();
  struct TCase {
    TGifDecoderFunc Decoder;
    bool Fails;
  };
  for (const TCase& c : {TCase{PatternDecoder, false}, TCase{StuckDecoder, true}}) {
    TPxMemStream stream(bytes.data(), int64_t(bytes.size()));
    TPxBitmap bitmap;
    TIOParamsVals params;
    params.GifDecoder = c.Decoder;
    params.NativePixelFormat = 1;
    bool aborted = false;
    TProgressRecord progress;
    progress.Aborted = &aborted;
    std::unique_ptr<TPxMask> mask;
    TReadContext ctx{.Stream = stream, .Bitmap = bitmap, .Params = params, .Progress = progress, .MaskOut = &mask};
    const int32_t count = ReadGif(ctx).ImageCount;
    EXPECT_EQ(aborted, c.Fails);
    if (!c.Fails) {
      EXPECT_EQ(count, 1);
      for (int x = 0; x < 4; ++x) EXPECT_EQ(bitmap.RowPointer(0)[x], x);
    }
  }
}

TEST(GifReaderTest, ReadGifMaskAndWantedImage) {
  TGif gif;
  gif.Global = kFour;
  TFrame a;
  a.Indices = {1};
  TFrame b;
  b.Width = 3;
  b.Indices = {0, 2, 0};
  b.Control = true;
  b.Transparent = true;
  b.TransparentIndex = 0;
  gif.Frames = {a, b};
  const std::vector<uint8_t> bytes = gif.Bytes();
  TPxMemStream stream(bytes.data(), int64_t(bytes.size()));
  TPxBitmap bitmap;
  TIOParamsVals params;
  params.GifImageIndex = 1;
  bool aborted = false;
  TProgressRecord progress;
  progress.Aborted = &aborted;
  std::unique_ptr<TPxMask> mask;
  TReadContext ctx{.Stream = stream, .Bitmap = bitmap, .Params = params, .Progress = progress, .MaskOut = &mask};
  const int32_t count = ReadGif(ctx).ImageCount;
  ASSERT_FALSE(aborted) << progress.AbortReason;
  EXPECT_EQ(count, 2);
  EXPECT_EQ(params.GifImageCount, 2);
  ASSERT_EQ(bitmap.Width(), 3);
  ASSERT_TRUE(mask);
  EXPECT_EQ(mask->MaskPixel(0, 0), 0);
  EXPECT_EQ(mask->MaskPixel(1, 0), 255);
  EXPECT_EQ(mask->MaskPixel(2, 0), 0);
  EXPECT_EQ(bitmap.ColorAt(1, 0), Bgr(kFour[2]));
}

// The mask exists only when the transparent index shows; it is 0 there and
// 255 elsewhere, row padding included. A mask the caller passes in is reset
// when nothing is transparent.
TEST(GifReaderTest, MaskOnlyWhereTheTransparentIndexShows) {
  struct TCase {
    const char* Name;
    bool Transparent;
    uint8_t TransparentIndex;
    std::vector<std::string> MaskRows;  // bytes of each row as hex, padding included; empty: no mask
  };
  const TCase cases[] = {
      {"no transparency", false, 2, {}},
      {"transparent index not in the image", true, 3, {}},
      {"only in the last row", true, 2, {"ffffffff", "ffffffff", "ff00ffff"}},
      {"in every row", true, 1, {"00ffffff", "ff00ffff", "ffff00ff"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TGif gif;
    gif.Global = kFour;
    TFrame f;
    f.Width = 3;
    f.Height = 3;
    f.Indices = {1, 0, 0, 0, 1, 0, 0, 2, 1};
    f.Control = true;
    f.Transparent = c.Transparent;
    f.TransparentIndex = c.TransparentIndex;
    gif.Frames = {f};
    const std::vector<uint8_t> bytes = gif.Bytes();
    TPxMemStream stream(bytes.data(), int64_t(bytes.size()));
    TPxBitmap bitmap;
    TIOParamsVals params;
    bool aborted = false;
    TProgressRecord progress;
    progress.Aborted = &aborted;
    auto mask = std::make_unique<TPxMask>();
    mask->AllocateMask(5, 5, 8);
    TReadContext ctx{.Stream = stream, .Bitmap = bitmap, .Params = params, .Progress = progress, .MaskOut = &mask};
    ReadGif(ctx);
    ASSERT_FALSE(aborted) << progress.AbortReason;
    if (c.MaskRows.empty()) {
      EXPECT_FALSE(mask);
      continue;
    }
    ASSERT_TRUE(mask);
    ASSERT_EQ(mask->Width(), 3);
    ASSERT_EQ(mask->Height(), 3);
    std::vector<std::string> rows;
    for (int y = 0; y < 3; ++y) {
      std::string row;
      for (int i = 0; i < mask->RowLength(); ++i) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", mask->MaskRow(y)[i]);
        row += hex;
      }
      rows.push_back(row);
    }
    EXPECT_EQ(rows, c.MaskRows);
    EXPECT_FALSE(mask->AllSet());
    EXPECT_EQ(mask->Left(), 0);
    EXPECT_EQ(mask->Top(), 0);
    EXPECT_EQ(mask->Right(), 2);
    EXPECT_EQ(mask->Bottom(), 2);
  }
}

// An image that cannot be decoded ends the drawing, not the count: the
// images after it are counted in the parameters, and the canvas drawn so far
// is the picture; the failed load itself returns 0.
TEST_F(GifAnimationTest, AFailingFrameStillCountsWithTheRest) {
  gif_.Frames[1].MinCodeSize = 12;
  TLoaded r = Load(gif_.Bytes(), 2);
  EXPECT_TRUE(r.Io->Aborted());
  EXPECT_EQ(r.Count, 0);
  EXPECT_EQ(r.Params().GifImageCount, 3);
  EXPECT_EQ(Pixels(r.Bitmap()), (std::vector<std::string>{
                                    "0,255,0,255 0,255,0,255 255,0,0,0 255,0,0,0",
                                    "0,255,0,255 0,255,0,255 255,0,0,0 255,0,0,0",
                                    "255,0,0,0 255,0,0,0 255,0,0,0 255,0,0,0",
                                }));
}

// A logical screen too large for the limits matters only to an animation,
// which is drawn on it: a still picture loads as its image, an animation
// fails and leaves the previous picture.
TEST(GifReaderTest, ScreenPastTheLimits) {
  for (const bool animation : {false, true}) {
    SCOPED_TRACE(animation ? "animation" : "still");
    TGif gif;
    gif.ScreenWidth = 65535;
    gif.ScreenHeight = 65535;
    gif.Global = kFour;
    TFrame f;
    f.Width = 2;
    f.Indices = {1, 2};
    gif.Frames = {f};
    if (animation) gif.Frames.push_back(f);
    const std::vector<uint8_t> bytes = gif.Bytes();
    TPictureIO io;
    io.TargetBitmap()->AllocatePixels(3, 3, pxRGB24);
    io.TargetBitmap()->FillWith(0x123456);
    TPxMemStream stream(bytes.data(), int64_t(bytes.size()));
    // A failed load returns 0; the parameters still count the images.
    EXPECT_EQ(io.LoadGifStream(stream), animation ? 0 : 1);
    EXPECT_EQ(io.Aborted(), animation) << io.AbortReason();
    EXPECT_EQ(io.ImageParams().GifImageCount, animation ? 2 : 1);
    if (animation) {
      EXPECT_EQ(io.TargetBitmap()->Width(), 3);
      EXPECT_EQ(io.TargetBitmap()->ColorAt(1, 1), ColorToBGR(0x123456));
    } else {
      EXPECT_EQ(Pixels(*io.TargetBitmap()), (std::vector<std::string>{"200,0,0,255 0,200,0,255"}));
    }
  }
}

TEST(GifReaderTest, ParametersOnlyLeaveTheTarget) {
  TGif gif;
  gif.ScreenWidth = 7;
  gif.Global = kFour;
  TFrame f;
  f.Width = 5;
  f.Height = 2;
  f.Indices.assign(10, 1);
  gif.Frames = {f, f};
  const std::vector<uint8_t> bytes = gif.Bytes();
  TPictureIO io;
  TPxMemStream stream(bytes.data(), int64_t(bytes.size()));
  io.ReadStreamParams(stream);
  EXPECT_EQ(io.ImageParams().FileType, 2);
  EXPECT_EQ(io.ImageParams().Width, 5);
  EXPECT_EQ(io.ImageParams().Height, 2);
  EXPECT_EQ(io.ImageParams().GifScreenWidth, 7);
  EXPECT_EQ(io.ImageParams().GifImageCount, 2);
  EXPECT_TRUE(io.TargetBitmap()->IsEmpty());
}

}  // namespace
}  // namespace rv
