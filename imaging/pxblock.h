// Working blocks the size of a picture (a reader's index plane, a decoder's
// scratch) allocated the way TPxBitmap allocates its pixels: from 8 MiB up
// aligned to 2 MiB, rounded up to whole 2 MiB pages and offered to
// transparent huge pages, so the first touch costs one fault every 2 MiB
// instead of one every 4 KiB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace rv {

struct TPxBlockFree {
  void operator()(void* p) const { std::free(p); }
};

// Uninitialised; nullptr when the block cannot be had. Free with std::free.
void* AllocatePxBlock(size_t bytes);

using TPxByteBlock = std::unique_ptr<uint8_t[], TPxBlockFree>;

// AllocatePxBlock for bytes, throwing std::bad_alloc when it cannot.
TPxByteBlock MakePxByteBlock(size_t bytes);

}  // namespace rv
