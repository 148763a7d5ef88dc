// TIFF LZW: the decoder the TIFF reader uses for compression 5, replaceable
// per parameter record (TIOParamsVals::TiffLzwDecoder).
//
// Codes are read most significant bit first, starting at 9 bits, growing to
// 10, 11 and 12 bits one code early (when the next free entry reaches 511,
// 1023 and 2047). Code 256 clears the table, 257 ends the data. Data written
// by pre-5.0 writers ("old-style": the first byte 0 and the low bit of the
// second set, i.e. a clear code sent least significant bit first) is read
// least significant bit first and grows its width when the next entry
// reaches 512, 1024 and 2048.
//
// Bad data never makes the decoder read or write out of bounds: a code past
// the next free entry (only code == next is the special case), a code of 258
// or more right after a clear code, or the first code of the data not being
// a literal or clear ends decoding with kBad. A full table without a clear
// code is frozen at 4096 entries (decoding goes on without adding). Output
// stops at outSize; running out of input counts as the end code. Bytes of
// out past Produced may have been written over: clear them if they matter.
#pragma once

#include <cstdint>

namespace rv {

enum class TLzwStatus {
  kEnd,         // end code seen, or the input ran out
  kOutputFull,  // outSize bytes were produced before the end code
  kBad,         // the data cannot be right; the bytes produced so far stay
};

struct TLzwResult {
  int64_t Produced = 0;
  TLzwStatus Status = TLzwStatus::kEnd;
};

// Decodes one strip (or tile) of LZW data into out, at most outSize bytes.
TLzwResult DecodeTiffLzw(const uint8_t* in, int64_t inSize, uint8_t* out, int64_t outSize);

// True when the data starts like old-style (least significant bit first) LZW.
bool IsOldStyleTiffLzw(const uint8_t* in, int64_t inSize);

// A replaceable TIFF LZW codec (the type TIOParamsVals names). Decode has the
// contract of DecodeTiffLzw; Encode is for writers and may be null.
struct TTiffLzwCodec {
  TLzwResult (*Decode)(const uint8_t* in, int64_t inSize, uint8_t* out, int64_t outSize) = nullptr;
  int64_t (*Encode)(const uint8_t* in, int64_t inSize, uint8_t* out, int64_t outCapacity) = nullptr;
};

// The built-in codec (decoder only).
const TTiffLzwCodec& BuiltInTiffLzwCodec();

}  // namespace rv
