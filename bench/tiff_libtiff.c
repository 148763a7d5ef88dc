/* The libtiff side of bench/compare_tiff.py: decodes one TIFF file, several
 * times, into a freshly allocated buffer each time, and prints the lowest CPU
 * milliseconds of each way:
 *   strips  TIFFReadEncodedStrip for every strip (the decoded samples as
 *           stored: 3 bytes a pixel, or packed bits for bilevel data);
 *   rgba    TIFFReadRGBAImageOriented (4 bytes a pixel, top-down).
 * The file is read into memory once, before timing, and libtiff reads it from
 * there through a client whose map procedure hands out that memory (so strips
 * are decoded where they lie, as ours are from a memory stream). The output
 * buffer is allocated the way our bitmaps allocate their pixels
 * (imaging/pxbitmap.cpp), so both sides pay the same for first touching it.
 * Usage: tiff_libtiff FILE RUNS   (prints "strips MS rgba MS")
 * Built by the script: cc -O2 tiff_libtiff.c -ltiff */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <tiffio.h>
#include <time.h>

static double CpuMs(void) {
  struct timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

/* As the bitmaps do: 32 bytes of slack for their own alignment; blocks of
 * 8 MiB and more aligned to 2 MiB, rounded up to whole 2 MiB pages and
 * offered to transparent huge pages, smaller ones aligned to 32 bytes. */
static void* AllocateLikeBitmaps(size_t bytes) {
  const size_t hugePage = (size_t)2 << 20;
  void* p = NULL;
  bytes += 32;
  if (bytes >= 4 * hugePage) {
    bytes = (bytes + hugePage - 1) & ~(hugePage - 1);
    if (posix_memalign(&p, hugePage, bytes) != 0) return NULL;
    madvise(p, bytes, MADV_HUGEPAGE);
    return p;
  }
  if (posix_memalign(&p, 32, bytes) != 0) return NULL;
  return p;
}

typedef struct {
  unsigned char* data;
  toff_t size, pos;
} Memory;

static tmsize_t ReadProc(thandle_t h, void* buf, tmsize_t n) {
  Memory* m = (Memory*)h;
  toff_t k = m->pos >= m->size ? 0 : m->size - m->pos;
  if ((toff_t)n < k) k = (toff_t)n;
  memcpy(buf, m->data + m->pos, (size_t)k);
  m->pos += k;
  return (tmsize_t)k;
}
static tmsize_t WriteProc(thandle_t h, void* buf, tmsize_t n) {
  (void)h, (void)buf, (void)n;
  return -1;
}
static toff_t SeekProc(thandle_t h, toff_t off, int whence) {
  Memory* m = (Memory*)h;
  m->pos = whence == SEEK_SET ? off : whence == SEEK_CUR ? m->pos + off : m->size + off;
  return m->pos;
}
static int CloseProc(thandle_t h) {
  (void)h;
  return 0;
}
static toff_t SizeProc(thandle_t h) {
  return ((Memory*)h)->size;
}
static int MapProc(thandle_t h, void** base, toff_t* size) {
  *base = ((Memory*)h)->data;
  *size = ((Memory*)h)->size;
  return 1;
}
static void UnmapProc(thandle_t h, void* base, toff_t size) {
  (void)h, (void)base, (void)size;
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const int runs = atoi(argv[2]);
  TIFFSetWarningHandler(NULL);
  FILE* f = fopen(argv[1], "rb");
  if (!f) return 2;
  fseek(f, 0, SEEK_END);
  Memory file = {NULL, (toff_t)ftell(f), 0};
  fseek(f, 0, SEEK_SET);
  file.data = malloc((size_t)file.size);
  if (!file.data || fread(file.data, 1, (size_t)file.size, f) != (size_t)file.size) return 2;
  fclose(f);
  double bestStrips = 1e30, bestRgba = 1e30;
  for (int r = 0; r < runs; ++r) {
    file.pos = 0;
    TIFF* tif = TIFFClientOpen(argv[1], "r", (thandle_t)&file, ReadProc, WriteProc, SeekProc, CloseProc, SizeProc,
                               MapProc, UnmapProc);
    if (!tif) return 1;
    uint32_t w = 0, h = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    double t = CpuMs();
    const tstrip_t n = TIFFNumberOfStrips(tif);
    const tmsize_t stripSize = TIFFStripSize(tif);
    unsigned char* buf = AllocateLikeBitmaps((size_t)stripSize * n);
    if (!buf) return 1;
    for (tstrip_t s = 0; s < n; ++s)
      if (TIFFReadEncodedStrip(tif, s, buf + (size_t)stripSize * s, stripSize) < 0) return 1;
    t = CpuMs() - t;
    if (t < bestStrips) bestStrips = t;
    free(buf);
    t = CpuMs();
    uint32_t* rgba = AllocateLikeBitmaps((size_t)w * h * 4);
    if (!rgba) return 1;
    if (!TIFFReadRGBAImageOriented(tif, w, h, rgba, ORIENTATION_TOPLEFT, 0)) return 1;
    t = CpuMs() - t;
    if (t < bestRgba) bestRgba = t;
    free(rgba);
    TIFFClose(tif);
  }
  free(file.data);
  printf("strips %.3f rgba %.3f\n", bestStrips, bestRgba);
  return 0;
}
