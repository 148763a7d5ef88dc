#include "imaging/pictureproc.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/tbitmap.h"
#include "view/pxview.h"

namespace rv {
namespace {

// A view as the components see it: a picture it owns (or only a platform
// bitmap) and a log of what it was asked to do after a change.
class TFakeView : public TPxView {
 public:
  TFakeView() : image_(std::make_unique<TPxBitmap>()) {}
  TPxBitmap* ImageBitmap() override { return image_.get(); }
  TBitmap* DisplayBitmap() override { return display_; }
  TPxBitmap* ImageAlphaChannel() override { return image_ ? image_->AlphaChannel() : nullptr; }
  bool ImageHasAlphaChannel() override { return image_ && image_->HasAlphaChannel(); }
  void FlattenAlphaChannel(bool) override {}
  void BeginRedrawLock() override {}
  void EndRedrawLock() override {}
  void EndRedrawLockQuiet() override {}
  void UpdateView() override {
    TPxBitmap* b = image_ ? image_.get() : nullptr;
    log.push_back(b ? "layout " + std::to_string(b->Width()) + "x" + std::to_string(b->Height())
                    : "layout " + std::to_string(display_->Width()) + "x" + std::to_string(display_->Height()));
  }
  void NotifyImageChange() override { log.push_back("image change"); }

  // Loads a new picture object, as the viewer does when a file is opened.
  void ReplaceImage(std::unique_ptr<TPxBitmap> image) {
    image_ = std::move(image);
    NotifyChangeListeners();
  }
  // Only a platform bitmap, no TPxBitmap of its own.
  void UseDisplayOnly(TBitmap* display) {
    image_.reset();
    display_ = display;
    NotifyChangeListeners();
  }

  std::vector<std::string> log;

 private:
  std::unique_ptr<TPxBitmap> image_;
  TBitmap* display_ = nullptr;
};

TColorBGR Label(int i) {
  return MakeBGR(uint8_t(10 + 20 * i), uint8_t(250 - 15 * i), uint8_t(7 * i + 1));
}

// A w x h pxRGB24 picture whose pixel (x, y) is Label(y * w + x).
void MakeLabelled(TPxBitmap& b, int w, int h) {
  b.AllocatePixels(w, h, pxRGB24);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) b.SetPixelBGR(x, y, Label(y * w + x));
}

::testing::AssertionResult SamePicture(TPxBitmap& a, TPxBitmap& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height() || a.Format() != b.Format())
    return ::testing::AssertionFailure() << a.Width() << "x" << a.Height() << " vs " << b.Width() << "x" << b.Height();
  for (int y = 0; y < a.Height(); ++y)
    for (int x = 0; x < a.Width(); ++x)
      if (!(a.ColorAt(x, y) == b.ColorAt(x, y))) return ::testing::AssertionFailure() << "(" << x << ", " << y << ")";
  return ::testing::AssertionSuccess();
}

// Temporary files this process holds open (they are unlinked at creation,
// so only the descriptors show them).
int OpenTempFiles() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  while (dirent* e = readdir(dir)) {
    char target[4096];
    const std::string path = std::string("/proc/self/fd/") + e->d_name;
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, size_t(n)).find("/IMG-") != std::string::npos) ++count;
  }
  closedir(dir);
  return count;
}

TEST(PictureProc, QuarterTurnsOfASmallPictureAndTheirCaption) {
  TPictureProc proc;
  MakeLabelled(*proc.Bitmap(), 3, 2);  // a b c / d e f
  proc.Rotate(-90, true, 0, kUseBackgroundProperty);
  TPxBitmap& b = *proc.Bitmap();
  ASSERT_EQ(b.Width(), 2);
  ASSERT_EQ(b.Height(), 3);
  // The top row is the former left column read from the bottom up: d a.
  EXPECT_EQ(b.PixelBGR(0, 0), Label(3));
  EXPECT_EQ(b.PixelBGR(1, 0), Label(0));
  ASSERT_EQ(proc.UndoCount(), 1);
  EXPECT_EQ(proc.UndoCaption(0), "Rotate -90");

  TPictureProc ccw;
  MakeLabelled(*ccw.Bitmap(), 3, 2);
  ccw.Rotate(90);
  // The top row is the former right column read from the top down: c f.
  EXPECT_EQ(ccw.Bitmap()->PixelBGR(0, 0), Label(2));
  EXPECT_EQ(ccw.Bitmap()->PixelBGR(1, 0), Label(5));
  EXPECT_EQ(ccw.UndoCaption(0), "Rotate 90");
}

TEST(PictureProc, CaptionsUseTheShortestAngleText) {
  struct Case {
    double angle;
    const char* caption;
  } cases[] = {{30.5, "Rotate 30.5"}, {-0.25, "Rotate -0.25"}, {360, "Rotate 360"}, {1e21, "Rotate 1e+21"}};
  for (const Case& c : cases) {
    TPictureProc proc;
    MakeLabelled(*proc.Bitmap(), 5, 4);
    proc.Rotate(c.angle, false);
    EXPECT_EQ(proc.UndoCaption(0), c.caption);
  }
}

TEST(PictureProc, WholeTurnsLeaveThePictureButStillPushUndo) {
  for (double angle : {360.0, 720.0}) {
    TPictureProc proc;
    TPxBitmap original;
    MakeLabelled(*proc.Bitmap(), 3, 2);
    MakeLabelled(original, 3, 2);
    proc.Rotate(angle);
    EXPECT_TRUE(SamePicture(*proc.Bitmap(), original));
    EXPECT_EQ(proc.UndoCount(), 1);
  }
}

TEST(PictureProc, RotateByZeroDoesNothingAtAll) {
  TPictureProc proc;
  MakeLabelled(*proc.Bitmap(), 3, 2);
  int events = 0;
  proc.OnProgress = [&](TPictureProc&, int) { ++events; };
  proc.OnFinishWork = [&](TPictureProc&) { ++events; };
  proc.Rotate(0);
  EXPECT_EQ(events, 0);
  EXPECT_EQ(proc.UndoCount(), 0);
}

TEST(PictureProc, UndoLimitOneKeepsTheStateBeforeTheLastOperationInOneFile) {
  TPictureProc proc;
  MakeLabelled(*proc.Bitmap(), 6, 4);
  const int before = OpenTempFiles();
  proc.Rotate(-90);
  TPxBitmap afterFirst;
  afterFirst.AssignFrom(*proc.Bitmap());
  proc.Rotate(30, false);
  ASSERT_EQ(proc.UndoCount(), 1);
  EXPECT_EQ(proc.UndoCaption(0), "Rotate 30");
  EXPECT_TRUE(SamePicture(*proc.UndoBitmap(0), afterFirst));
  EXPECT_EQ(OpenTempFiles() - before, 1);
  proc.RestoreUndo();
  EXPECT_TRUE(SamePicture(*proc.Bitmap(), afterFirst));
  // Restoring keeps the entry.
  EXPECT_EQ(proc.UndoCount(), 1);
}

TEST(PictureProc, UndoAndRedoListsWithCaptions) {
  TPictureProc proc;
  proc.SetUndoLimit(3);
  MakeLabelled(*proc.Bitmap(), 5, 3);
  std::vector<std::unique_ptr<TPxBitmap>> states;
  auto remember = [&] {
    states.push_back(std::make_unique<TPxBitmap>());
    states.back()->AssignFrom(*proc.Bitmap());
  };
  remember();
  proc.Rotate(-90);
  remember();
  proc.Rotate(180);
  remember();
  proc.Rotate(90);
  remember();
  ASSERT_EQ(proc.UndoCount(), 3);
  EXPECT_EQ(proc.UndoCaption(0), "Rotate -90");
  EXPECT_EQ(proc.UndoCaption(1), "Rotate 180");
  EXPECT_EQ(proc.UndoCaption(2), "Rotate 90");
  EXPECT_EQ(proc.UndoCaption(3), "");

  // Stepping back: keep the present for redo, then restore.
  proc.PushRedoCaptioned(proc.UndoCaption(2));
  proc.RestoreUndo(0);
  EXPECT_TRUE(SamePicture(*proc.Bitmap(), *states[2]));
  proc.RestoreUndo(2);
  EXPECT_TRUE(SamePicture(*proc.Bitmap(), *states[0]));
  proc.RestoreUndo(3);  // out of range
  proc.RestoreUndo(-1);
  EXPECT_TRUE(SamePicture(*proc.Bitmap(), *states[0]));

  ASSERT_EQ(proc.RedoCount(), 1);
  EXPECT_EQ(proc.RedoCaption(0), "Rotate 90");
  proc.RestoreRedo();
  EXPECT_TRUE(SamePicture(*proc.Bitmap(), *states[3]));
  proc.DropLastRedo();
  EXPECT_EQ(proc.RedoCount(), 0);
  proc.ClearUndoList();
  EXPECT_EQ(proc.UndoCount(), 0);
}

TEST(PictureProc, UndoCopiesLiveInTheChosenStore) {
  for (TPxBitmapStorage store : {pxTempFile, pxInMemory}) {
    TPictureProc proc;
    proc.SetUndoLocation(store);
    MakeLabelled(*proc.Bitmap(), 7, 5);
    proc.Bitmap()->AlphaChannel()->SetByteAt(2, 3, 17);
    TPxBitmap original;
    original.AssignFrom(*proc.Bitmap());
    proc.Rotate(-90);
    TPxBitmap* copy = proc.UndoBitmap(0);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->Location(), store);
    EXPECT_EQ(copy->FileBuffer().IsOpen(), store == pxTempFile);
    proc.RestoreUndo();
    EXPECT_TRUE(SamePicture(*proc.Bitmap(), original));
    ASSERT_TRUE(proc.Bitmap()->HasAlphaChannel());
    EXPECT_EQ(proc.Bitmap()->AlphaChannel()->ByteAt(2, 3), 17);
  }
}

TEST(PictureProc, NoUndoForTinyPicturesOrWithoutAutoUndo) {
  TPictureProc tiny;
  MakeLabelled(*tiny.Bitmap(), 1, 5);
  tiny.Rotate(-90);
  EXPECT_EQ(tiny.Bitmap()->Width(), 5);
  EXPECT_EQ(tiny.UndoCount(), 0);

  TPictureProc manual;
  manual.SetAutoUndo(false);
  MakeLabelled(*manual.Bitmap(), 4, 4);
  manual.Rotate(-90);
  EXPECT_EQ(manual.UndoCount(), 0);
  manual.PushUndoCaptioned("mine");
  EXPECT_EQ(manual.UndoCaption(0), "mine");
  manual.PushUndo(2);  // a view state snapshot is not available
  EXPECT_EQ(manual.UndoCount(), 1);
}

TEST(PictureProc, UndoLimitBelowOneIsOne) {
  TPictureProc proc;
  proc.SetUndoLimit(0);
  EXPECT_EQ(proc.UndoLimit(), 1);
  proc.SetUndoLimit(-5);
  EXPECT_EQ(proc.UndoLimit(), 1);
}

TEST(PictureProc, ProgressEndsAtHundredThenFinish) {
  TPictureProc proc;
  MakeLabelled(*proc.Bitmap(), 60, 40);
  std::vector<std::string> log;
  proc.OnProgress = [&](TPictureProc& sender, int p) {
    EXPECT_EQ(&sender, &proc);
    log.push_back(std::to_string(p));
  };
  proc.OnFinishWork = [&](TPictureProc&) { log.push_back("finish"); };
  proc.Rotate(20);
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[log.size() - 2], "100");
  EXPECT_EQ(log.back(), "finish");
  EXPECT_EQ(std::count(log.begin(), log.end(), "finish"), 1);
}

// An operation that fails half-way leaves the picture and the undo list as
// they were before it.
TEST(PictureProc, FailedOperationPutsThePictureBack) {
  TPictureProc proc;
  MakeLabelled(*proc.Bitmap(), 8, 6);
  proc.Rotate(-90);
  ASSERT_EQ(proc.UndoCount(), 1);
  // Transparent pixels: resampling first greys them out in the picture itself.
  proc.Bitmap()->AlphaChannel()->FillWith(0);
  TPxBitmap before;
  before.AssignFrom(*proc.Bitmap());
  proc.OnProgress = [](TPictureProc&, int p) {
    if (p == 100) throw std::runtime_error("cancelled");
  };
  EXPECT_THROW(proc.Resample(12, 9, rfNone), std::runtime_error);
  EXPECT_TRUE(SamePicture(*proc.Bitmap(), before));
  ASSERT_EQ(proc.UndoCount(), 1);
  EXPECT_EQ(proc.UndoCaption(0), "Rotate -90");

  proc.OnProgress = [](TPictureProc&, int) { throw std::runtime_error("cancelled"); };
  EXPECT_THROW(proc.Rotate(33), std::runtime_error);
  EXPECT_TRUE(SamePicture(*proc.Bitmap(), before));
  EXPECT_EQ(proc.UndoCaption(0), "Rotate -90");
}

TEST(PictureProc, AttachedViewIsLaidOutAndToldAfterEveryOperation) {
  TFakeView view;
  MakeLabelled(*view.ImageBitmap(), 3, 2);
  TPictureProc proc;
  proc.SetAttachedPictureView(&view);
  EXPECT_EQ(proc.Bitmap(), view.ImageBitmap());
  proc.Rotate(-90);
  EXPECT_EQ(view.ImageBitmap()->Width(), 2);
  EXPECT_EQ(view.log, (std::vector<std::string>{"layout 2x3", "image change"}));
  view.log.clear();
  proc.RestoreUndo();
  EXPECT_EQ(view.log, (std::vector<std::string>{"layout 3x2", "image change"}));
}

TEST(PictureProc, BackgroundIsTheViewsWhenAttached) {
  TFakeView view;
  view.ImageBitmap()->AllocatePixels(20, 10, pxRGB24);
  view.ImageBitmap()->FillWith(0);
  TPictureProc proc;
  proc.SetBackground(0x0000FF);
  EXPECT_EQ(proc.Background(), 0x0000FFu);
  proc.SetAttachedPictureView(&view);
  EXPECT_EQ(proc.Background(), clBtnFace);
  // The system's button face colour is resolved before it fills the corners.
  proc.Rotate(30);
  EXPECT_EQ(view.ImageBitmap()->PixelBGR(0, 0), MakeBGR(240, 240, 240));
  proc.SetBackground(0x00FF00);
  EXPECT_EQ(view.Background(), 0x00FF00u);
}

TEST(PictureProc, FollowsTheViewWhenItReplacesItsPicture) {
  TFakeView view;
  TPictureProc proc;
  proc.SetAttachedPictureView(&view);
  auto fresh = std::make_unique<TPxBitmap>();
  MakeLabelled(*fresh, 4, 2);
  TPxBitmap* raw = fresh.get();
  view.ReplaceImage(std::move(fresh));
  EXPECT_EQ(proc.Bitmap(), raw);
  proc.Rotate(90);
  EXPECT_EQ(raw->Width(), 2);
}

TEST(PictureProc, LetsGoOfAViewThatGoesAway) {
  TPictureProc proc;
  {
    TFakeView view;
    MakeLabelled(*view.ImageBitmap(), 3, 2);
    proc.SetAttachedPictureView(&view);
  }
  EXPECT_EQ(proc.AttachedPictureView(), nullptr);
  ASSERT_NE(proc.Bitmap(), nullptr);
  EXPECT_TRUE(proc.Bitmap()->IsEmpty());
  MakeLabelled(*proc.Bitmap(), 3, 2);
  proc.Rotate(-90);
  EXPECT_EQ(proc.Bitmap()->Width(), 2);
}

TEST(PictureProc, DetachingUnregisters) {
  TFakeView view;
  {
    TPictureProc proc;
    proc.SetAttachedPictureView(&view);
    EXPECT_EQ(view.ChangeListenerCount(), 1);
    proc.SetAttachedPictureView(nullptr);
    EXPECT_EQ(view.ChangeListenerCount(), 0);
    EXPECT_NE(proc.Bitmap(), view.ImageBitmap());
    proc.SetAttachedPictureView(&view);
  }
  // Destroying the component unregisters too.
  EXPECT_EQ(view.ChangeListenerCount(), 0);
}

TEST(PictureProc, WorksOnAViewsPlatformBitmap) {
  TBitmap display;
  display.SetPixelFormat(TPixelFormat::pf24bit);
  display.SetSize(5, 3);
  const uint8_t red[3] = {0, 0, 255};
  display.SetPixelBGR(0, 2, red);  // bottom-left
  TFakeView view;
  view.UseDisplayOnly(&display);
  TPictureProc proc;
  proc.SetAttachedPictureView(&view);
  proc.Bitmap()->AlphaChannel();
  proc.Rotate(-90);
  EXPECT_EQ(display.Width(), 3);
  EXPECT_EQ(display.Height(), 5);
  uint8_t px[3];
  display.PixelBGR(0, 0, px);  // the bottom-left corner is now the top-left
  EXPECT_EQ(px[2], 255);
  // A platform bitmap carries no alpha channel.
  EXPECT_FALSE(proc.Bitmap()->HasAlphaChannel());
  EXPECT_EQ(view.log.front(), "layout 3x5");
}

TEST(PictureProc, CheckFormatConvertsByPreference) {
  struct Case {
    TPxBitmapFormat current;
    TPxFormatSet accepted;
    bool autoConvert;
    bool result;
    TPxBitmapFormat after;
  } cases[] = {
      {pxGray8, 0, true, true, pxGray8},
      {pxGray8, FormatSetOf(pxGray8), false, true, pxGray8},
      {pxGray8, FormatSetOf(pxRGB24) | FormatSetOf(pxCMYK), true, true, pxRGB24},
      {pxGray8, FormatSetOf(pxRGB24), false, false, pxGray8},
      {pxRGB24, FormatSetOf(pxMono1), true, true, pxMono1},  // no preference fits: the highest accepted
      {pxRGB48, FormatSetOf(pxGray16) | FormatSetOf(pxCIELab), true, true, pxCIELab},
      {pxRGB24, FormatSetOf(pxNoFormat), true, false, pxRGB24},  // never converted to nothing
  };
  for (const Case& c : cases) {
    TPictureProc proc;
    proc.SetAutoConvertFormat(c.autoConvert);
    proc.Bitmap()->AllocatePixels(4, 3, c.current);
    proc.Bitmap()->FillWith(0);
    EXPECT_EQ(proc.CheckFormat(c.accepted), c.result) << FormatName(c.current);
    EXPECT_EQ(proc.Bitmap()->Format(), c.after) << FormatName(c.current);
  }
}

TEST(PictureProc, ResampleSizesAndCaptions) {
  struct Case {
    int w, h;
    int wantW, wantH;
    const char* caption;
  } cases[] = {
      {-1, 300, 600, 300, "Resample -1,300"}, {800, -1, 800, 400, "Resample 800,-1"},
      {0, 0, 400, 200, "Resample 0,0"},       {-1, 0, 400, 200, "Resample -1,0"},
      {-30, 20, 30, 20, "Resample -30,20"},   {-1, -1, 400, 200, "Resample -1,-1"},
  };
  for (const Case& c : cases) {
    TPictureProc proc;
    MakeLabelled(*proc.Bitmap(), 400, 200);
    int finishes = 0;
    proc.OnFinishWork = [&](TPictureProc&) { ++finishes; };
    proc.Resample(c.w, c.h, rfLinear);
    EXPECT_EQ(proc.Bitmap()->Width(), c.wantW) << c.caption;
    EXPECT_EQ(proc.Bitmap()->Height(), c.wantH) << c.caption;
    EXPECT_EQ(proc.UndoCaption(0), c.caption);
    // Once when the resampling ends, once when the picture is in place;
    // only once when nothing is resampled.
    EXPECT_EQ(finishes, c.w < 0 && c.h < 0 ? 1 : 2) << c.caption;
  }
}

TEST(PictureProc, ResampleCarriesTheAlphaChannel) {
  TPictureProc proc;
  MakeLabelled(*proc.Bitmap(), 40, 20);
  proc.Bitmap()->AlphaChannel()->FillArea(0, 0, 19, 19, 0);
  proc.Resample(20, 10, rfNone);
  ASSERT_TRUE(proc.Bitmap()->HasAlphaChannel());
  TPxBitmap& alpha = *proc.Bitmap()->AlphaChannel();
  EXPECT_EQ(alpha.Width(), 20);
  EXPECT_EQ(alpha.Height(), 10);
  EXPECT_EQ(alpha.ByteAt(2, 5), 0);
  EXPECT_EQ(alpha.ByteAt(17, 5), 255);
}

}  // namespace
}  // namespace rv
