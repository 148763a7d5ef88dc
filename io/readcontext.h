// TReadContext: what every reader entry point is handed (the registry's
// TReadFunction in io/formats.h, and the readers' own entries in
// io/readers/*.h). One shape for all of them:
//
//   void ReadXxx(TReadContext& ctx);                                 no options
//   void ReadXxx(TReadContext& ctx, const TXxxReadOptions& options = {});
//   TXxxReadResult ReadXxx(TReadContext& ctx, const TXxxReadOptions& options = {});
//
// The context says where the data is and where the picture goes; a format's
// options struct (named fields, defaults as the registry loads the format)
// says how to read it; a format's result struct holds what the reader hands
// back besides the bitmap, the parameter record and the mask (an image count,
// an icon's layout). Only readers with options have an options struct, only
// readers with extra outputs a result struct.
#pragma once

#include <memory>

namespace rv {

class TStream;
class TPxBitmap;
class TPxMask;
class TIOParamsVals;
struct TProgressRecord;

struct TReadContext {
  // Read from its current position; where it is left afterwards is the
  // reader's to say.
  TStream& Stream;
  // Receives the picture; untouched when the reader refuses the header.
  TPxBitmap& Bitmap;
  // The format's fields are filled; the reader may also read some (the wanted
  // image index, NativePixelFormat, ...).
  TIOParamsVals& Params;
  // The abort flag (failure, with its reason), progress reports and limits.
  TProgressRecord& Progress;
  // Fill Params and stop before allocating pixels.
  bool ParamsOnly = false;
  // Where a reader that finds transparency hands it back (created, replaced or
  // reset there as its header says). Null: the caller takes no transparency
  // and whatever the reader finds is dropped.
  std::unique_ptr<TPxMask>* MaskOut = nullptr;
};

// A reader entry with options called with its defaults, the format as the
// registry loads it: what the format table holds for such readers.
template <auto Entry>
void WithDefaultOptions(TReadContext& ctx) {
  Entry(ctx, {});
}

// The caller's mask slot, or spare when the caller takes none.
inline std::unique_ptr<TPxMask>& MaskSlot(TReadContext& ctx, std::unique_ptr<TPxMask>& spare) {
  return ctx.MaskOut ? *ctx.MaskOut : spare;
}

}  // namespace rv
