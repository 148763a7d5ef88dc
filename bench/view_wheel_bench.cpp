// One wheel step of the picture view, from the zoom change to the finished
// back buffer: a 1920 x 1080 view of a 24 MP (6000 x 4000 pxRGB24) picture
// around 37 %, the wheel turned one notch (the view zooms by 8 % and lays
// itself out) and the whole client area painted. Steps alternate in and out
// so the zoom stays near where it started. The host presents nothing: putting
// the buffer on the screen is the window system's copy.
//
//   ViewWheelStep/<filter>   one step, rfNone or rfFastLinear
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>

#include "imaging/pxbitmap.h"
#include "view/viewhost.h"
#include "viewer/pictureview.h"

namespace rv {
namespace {

class TBenchHost : public TViewHost {
 public:
  TPictureView* view = nullptr;
  bool invalid = false;
  int Width() const override { return 1920; }
  int Height() const override { return 1080; }
  bool HasParent() const override { return true; }
  void Invalidate() override { invalid = true; }
  void InvalidateRect(int, int, int, int) override { invalid = true; }
  void RepaintNow() override {
    invalid = false;
    view->Paint({0, 0, view->ClientWidth(), view->ClientHeight()});
  }
  void Present(const TBitmap& buffer, int, int, const TViewRect&) override {
    benchmark::DoNotOptimize(buffer.ScanLine(0));
  }
  void SetCursor(TCursorId) override {}
  void SetMouseCapture(bool) override {}
  bool HasMouseCapture() const override { return false; }
  void SetFocus() override {}
  bool Focused() const override { return false; }
  void PostCall(std::function<void()>) override {}
  int StartTimer(int, std::function<void()>) override { return 1; }
  void StopTimer(int) override {}
  void SetScrollBar(TScrollBarKind, const TScrollInfo&) override {}
  void RecreateWindow() override {}
};

void WheelStep(benchmark::State& state, TResampleFilter filter) {
  TBenchHost host;
  TPictureView view(&host);
  host.view = &view;
  view.SetBorderStyle(bsNone);
  view.SetScrollBars(ssNone);
  TPxBitmap& image = *view.ImageBitmap();
  image.AllocatePixels(6000, 4000, pxRGB24);
  uint32_t seed = 7;
  for (int y = 0; y < 4000; ++y) {
    uint8_t* row = image.RowPointer(y);
    for (int x = 0; x < 6000; ++x) {
      seed = seed * 1664525u + 1013904223u;
      row[3 * x] = uint8_t(x * 127 / 6000 + (seed >> 27));
      row[3 * x + 1] = uint8_t(y * 127 / 4000 + (seed >> 26 & 31));
      row[3 * x + 2] = uint8_t((x + y) * 127 / 10000 + (seed >> 24 & 63));
    }
  }
  view.DisplayBitmap()->Changed();
  view.SetZoomFilter(filter);
  view.SetZoomPercent(37);
  host.RepaintNow();  // the first frame builds what later frames keep
  int direction = 120;
  for (auto _ : state) {
    view.Wheel(direction, 0, 960, 540);
    if (host.invalid) host.RepaintNow();
    direction = -direction;
  }
  state.counters["zoom"] = view.ZoomPercentX();
}

const int registered = [] {
  for (TResampleFilter f : {rfNone, rfFastLinear})
    benchmark::RegisterBenchmark((std::string("ViewWheelStep/") + ResampleFilterName(f)).c_str(), WheelStep, f)
        ->Unit(benchmark::kMillisecond);
  return 0;
}();

}  // namespace
}  // namespace rv
