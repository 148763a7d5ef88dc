// The GIF reader in the ways its callers use it: one image through ReadGif
// (with and without native palettes and transparency), its parameters only,
// and the composed picture of an animation up to an image the input chooses.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz_support.h"
#include "imaging/pxbitmap.h"
#include "imaging/pxmask.h"
#include "imaging/pxstreams.h"
#include "io/ioparams.h"
#include "io/progress.h"
#include "io/readers/gifreader.h"

namespace {

void Decode(const uint8_t* data, size_t size, int index, bool composed, bool paramsOnly, bool native) {
  static const rv::TImageLimits limits = rv::FuzzLimits();
  rv::TPxMemStream stream(data, static_cast<int64_t>(size));
  rv::TPxBitmap bitmap;
  rv::TIOParamsVals params;
  params.NativePixelFormat = native ? 1 : 0;
  params.SetImageIndex(index);
  bool aborted = false;
  rv::TProgressRecord progress;
  progress.Aborted = &aborted;
  progress.Limits = &limits;
  std::unique_ptr<rv::TPxMask> mask;
  rv::TReadContext ctx{.Stream = stream,
                       .Bitmap = bitmap,
                       .Params = params,
                       .Progress = progress,
                       .ParamsOnly = paramsOnly,
                       .MaskOut = &mask};
  if (composed) {
    const int32_t count = rv::LoadGifComposed(ctx).ImageCount;
    if (count < 0 || count > rv::kMaxGifImages) __builtin_trap();
  } else {
    rv::ReadGif(ctx);
  }
  rv::TouchPixels(bitmap, mask.get());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Decode(data, size, 0, false, false, false);
  Decode(data, size, 0, false, false, true);
  Decode(data, size, 1, false, true, false);
  // The composed picture up to an image chosen by the last byte.
  const int index = size > 0 ? data[size - 1] % 8 : 0;
  Decode(data, size, index, true, false, size % 2 == 0);
  return 0;
}
