// CCITT bilevel decoders for TIFF: modified Huffman (compression 2, ITU-T
// T.4 one-dimensional codes without end-of-line codes, each row starting on
// a byte boundary), Group 3 (compression 3, T.4 with end-of-line codes, one-
// or two-dimensional rows) and Group 4 (compression 4, ITU-T T.6).
//
// Output rows are packed most significant bit first with 1 for a black
// pixel and 0 for white, as the code streams describe them; which of the two
// is shown as white is the photometric interpretation's business.
//
// Bad data is clamped, never followed: a run that would pass the end of the
// line ends at the line's end, a two-dimensional change left of the current
// position counts as a bad code. A row with a bad code is finished white; a
// Group 3 decoder resynchronises at the next end-of-line code, the others
// stop. Decoding gives up after kMaxBadRows bad rows. Work is bounded by the
// input bits and the output rows.
#pragma once

#include <cstdint>

namespace rv {

enum class TCcittScheme {
  kModifiedHuffman,  // compression 2
  kGroup3,           // compression 3
  kGroup4,           // compression 4
};

struct TCcittOptions {
  TCcittScheme Scheme = TCcittScheme::kGroup4;
  int64_t Width = 0;            // pixels per row, > 0
  bool TwoDimensional = false;  // Group 3: T4Options bit 0
  bool Uncompressed = false;    // T4Options bit 1 / T6Options bit 1: not supported, gives kBad when met
};

enum class TCcittStatus {
  kComplete,   // every asked row was decoded
  kEndOfData,  // the data ended (or an end-of-facsimile-block code came) first
  kBad,        // a bad code stopped decoding
};

struct TCcittResult {
  int64_t Rows = 0;     // rows written completely (bad rows finished white count)
  int64_t BadRows = 0;  // rows that held a bad code
  TCcittStatus Status = TCcittStatus::kComplete;
};

inline constexpr int64_t kMaxBadRows = 64;

// Decodes up to rows rows into out (rowBytes bytes per row, rowBytes >=
// ceil(Width / 8)). Rows not reached are left as they were.
TCcittResult DecodeCcitt(const uint8_t* in, int64_t inSize, const TCcittOptions& options, int64_t rows, uint8_t* out,
                         int64_t rowBytes);

// The T.4 run-length code of a run of one colour at a terminating or makeup
// length, for tests and encoders: bits right-aligned in Code, Length bits.
// Returns false for a run length with no code of its own.
struct TCcittCode {
  uint16_t Code = 0;
  int Length = 0;
};
bool CcittRunCode(bool black, int run, TCcittCode& code);

}  // namespace rv
