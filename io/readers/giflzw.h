// GIF's LZW decoder: variable-width codes (minimum code size + 1 up to 12
// bits) read least significant bit first, a clear code and an end code, and
// the table frozen once it holds 4096 entries.
//
// The core works on a memory buffer (DecodeGifLzwData) so it can be tested on
// hand-made code streams; DecodeGifLzw is the built-in GifDecoder that the
// GIF reader calls on a stream.
//
// Bad data never reads or writes out of bounds: output stops at
// width × height indices; every string is built from table entries whose
// prefix is an older entry, so a chain cannot loop and is at most 4096 long.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace rv {

class TStream;

// Why decoding stopped.
enum class TGifLzwStop {
  kEndCode,        // the end code
  kOutputFull,     // width × height indices written
  kDataExhausted,  // the code stream ran out
  kBadCode,        // a code above the next free entry
  kEndAfterClear,  // a clear code, then the end code, with data left behind it
  kBadCodeSize,    // minimum code size outside 2..8
};

struct TGifLzwResult {
  TGifLzwStop Stop = TGifLzwStop::kDataExhausted;
  int64_t Written = 0;  // indices written, in stream order
};

constexpr int kGifLzwMinCodeSize = 2;
constexpr int kGifLzwMaxCodeSize = 8;

// Decodes one image's code stream (the data sub-blocks joined, without the
// code size byte) into indices, width × height bytes, rows in stream order.
// With interlaced, the rows are then moved to their places (passes starting
// at rows 0, 4, 2, 1 with steps 8, 8, 4, 2). Indices not produced by the
// stream are left as the caller had them.
TGifLzwResult DecodeGifLzwData(const uint8_t* data, size_t size, int minCodeSize, int width, int height,
                               uint8_t* indices, bool interlaced);

// The built-in GifDecoder: reads the minimum code size byte and the data
// sub-blocks from the stream's position (ending after the zero-length block,
// or at the end of the stream) and decodes them into indices; indices the
// data does not give are 0, so the buffer need not be cleared beforehand. A code size
// outside 2..8, or the end code right after a clear code with data behind it,
// puts the stream back where it was, which the reader takes as failure.
void DecodeGifLzw(TStream& stream, int height, int width, uint8_t* indices, bool interlaced);

// Reads data sub-blocks from the stream's position until a zero-length block
// or the end of the stream, appending their bytes to out when it is not null.
// Returns the bytes the sub-blocks held.
int64_t ReadGifSubBlocks(TStream& stream, std::vector<uint8_t>* out);

}  // namespace rv
