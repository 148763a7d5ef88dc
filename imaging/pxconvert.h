// The two thresholds ConvertToMono works out for itself (pxbitmap.h declares
// ConvertToMono, ChangeFormat and ConvertPixelsFrom; pxconvert.cpp holds them).
#pragma once

#include <cstdint>

namespace rv {

class TPxBitmap;

// Gray level of the picture's average colour, the average being the mean of
// the per-row means (integer divisions). 0 for an empty picture.
int AverageColorThreshold(TPxBitmap& source);

// Maximum-entropy threshold of a 256-bin gray histogram: the first t in
// 1..255 with the largest positive score; -2 when no score is positive (every
// pixel is then at or above it).
int MaxEntropyThreshold(const uint64_t histogram[256]);

}  // namespace rv
