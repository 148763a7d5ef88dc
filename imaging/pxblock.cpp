#include "imaging/pxblock.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace rv {

namespace {

constexpr size_t kHugePage = size_t(2) << 20;

}  // namespace

void* AllocatePxBlock(size_t bytes) {
  void* p = nullptr;
  if (bytes >= 4 * kHugePage) {
    // Whole huge pages: a block ending inside one gets its last part in small
    // pages (up to 511 faults, which cost more than a huge page's).
    if (bytes > SIZE_MAX - kHugePage) return nullptr;
    bytes = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    if (posix_memalign(&p, kHugePage, bytes) != 0) return nullptr;
    madvise(p, bytes, MADV_HUGEPAGE);
    return p;
  }
  if (posix_memalign(&p, 32, bytes == 0 ? 1 : bytes) != 0) return nullptr;
  return p;
}

TPxByteBlock MakePxByteBlock(size_t bytes) {
  void* p = AllocatePxBlock(bytes);
  if (!p) throw std::bad_alloc();
  return TPxByteBlock(static_cast<uint8_t*>(p));
}

}  // namespace rv
