/* giflib decoding the first image of a GIF from memory, with its output
 * allocated the way Revimora allocates a picture and its index plane: 2 MiB
 * aligned and offered to transparent huge pages from 8 MiB up.
 *   indices: DGifGetLine for the whole image into a fresh index buffer
 *            (deinterlaced when the image is interlaced, as DGifSlurp does);
 *   rgb:     the same, then every index through the colour map into a fresh
 *            blue, green, red buffer (3 bytes a pixel).
 * Prints the best CPU milliseconds of N runs after one warm-up run.
 * Built and run by bench/compare_gif.py:  gif_giflib FILE indices|rgb RUNS */
#define _GNU_SOURCE
#include <gif_lib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>

#define HUGE_PAGE ((size_t)2 << 20)

typedef struct {
  const unsigned char* data;
  size_t size, pos;
} Mem;

static int ReadMem(GifFileType* gif, GifByteType* buf, int n) {
  Mem* m = (Mem*)gif->UserData;
  size_t k = m->size - m->pos < (size_t)n ? m->size - m->pos : (size_t)n;
  memcpy(buf, m->data + m->pos, k);
  m->pos += k;
  return (int)k;
}

static void* Block(size_t bytes) {
  void* p = NULL;
  if (bytes >= 4 * HUGE_PAGE) {
    bytes = (bytes + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1); /* whole huge pages, as our blocks */
    if (posix_memalign(&p, HUGE_PAGE, bytes) != 0) return NULL;
    madvise(p, bytes, MADV_HUGEPAGE);
    return p;
  }
  return posix_memalign(&p, 32, bytes) == 0 ? p : NULL;
}

static double Cpu(void) {
  struct timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

/* Decodes the first image; returns 0 on success and fills what was asked. */
static int Decode(const unsigned char* data, size_t size, int rgb, unsigned char* sink) {
  Mem m = {data, size, 0};
  int err = 0;
  GifFileType* gif = DGifOpen(&m, ReadMem, &err);
  if (!gif) return 1;
  GifRecordType type;
  int ok = 1;
  do {
    if (DGifGetRecordType(gif, &type) != GIF_OK) break;
    if (type == EXTENSION_RECORD_TYPE) {
      int code;
      GifByteType* ext;
      if (DGifGetExtension(gif, &code, &ext) != GIF_OK) break;
      while (ext != NULL)
        if (DGifGetExtensionNext(gif, &ext) != GIF_OK) break;
    } else if (type == IMAGE_DESC_RECORD_TYPE) {
      if (DGifGetImageDesc(gif) != GIF_OK) break;
      const GifImageDesc* d = &gif->Image;
      const size_t w = (size_t)d->Width, h = (size_t)d->Height, pixels = w * h;
      unsigned char* indices = Block(pixels);
      if (!indices) break;
      if (d->Interlace) {
        static const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
        int bad = 0;
        for (int pass = 0; pass < 4 && !bad; ++pass)
          for (size_t y = (size_t)start[pass]; y < h && !bad; y += (size_t)step[pass])
            bad = DGifGetLine(gif, indices + y * w, (int)w) != GIF_OK;
        if (bad) {
          free(indices);
          break;
        }
      } else if (DGifGetLine(gif, indices, (int)pixels) != GIF_OK) {
        free(indices);
        break;
      }
      if (rgb) {
        const ColorMapObject* map = d->ColorMap ? d->ColorMap : gif->SColorMap;
        unsigned char table[256 * 3];
        for (int i = 0; i < 256; ++i) {
          const GifColorType c = i < map->ColorCount ? map->Colors[i] : (GifColorType){0, 0, 0};
          table[i * 3] = c.Blue;
          table[i * 3 + 1] = c.Green;
          table[i * 3 + 2] = c.Red;
        }
        unsigned char* out = Block(pixels * 3);
        if (!out) {
          free(indices);
          break;
        }
        for (size_t i = 0; i < pixels; ++i) memcpy(out + i * 3, table + indices[i] * 3, 3);
        *sink ^= out[pixels * 3 - 1];
        free(out);
      } else {
        *sink ^= indices[pixels - 1];
      }
      free(indices);
      ok = 0;
      break;
    }
  } while (type != TERMINATE_RECORD_TYPE);
  DGifCloseFile(gif, &err);
  return ok;
}

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const int rgb = strcmp(argv[2], "rgb") == 0;
  FILE* f = fopen(argv[1], "rb");
  if (!f) return 2;
  fseek(f, 0, SEEK_END);
  long size = ftell(f);
  fseek(f, 0, SEEK_SET);
  unsigned char* data = malloc((size_t)size);
  if (fread(data, 1, (size_t)size, f) != (size_t)size) return 2;
  fclose(f);
  int runs = atoi(argv[3]);
  double best = 1e30;
  unsigned char sink = 0;
  for (int r = 0; r < runs + 1; ++r) {
    double t0 = Cpu();
    if (Decode(data, (size_t)size, rgb, &sink) != 0) return 1;
    double t = Cpu() - t0;
    if (r > 0 && t < best) best = t; /* the first run warms up */
  }
  printf("%.3f\n", best * 1e3);
  fprintf(stderr, "last byte checksum %u\n", sink); /* keeps the output live */
  return 0;
}
