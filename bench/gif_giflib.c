/* giflib's decode of a GIF with palette expansion to blue, green, red bytes:
 * DGifSlurp from memory, then every index of the first image through its
 * colour map into a fresh buffer. Prints the best CPU milliseconds of N runs.
 * Built and run by bench/compare_gif.py:  gif_giflib FILE RUNS */
#include <gif_lib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

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

static double Cpu(void) {
  struct timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  FILE* f = fopen(argv[1], "rb");
  if (!f) return 2;
  fseek(f, 0, SEEK_END);
  long size = ftell(f);
  fseek(f, 0, SEEK_SET);
  unsigned char* data = malloc((size_t)size);
  if (fread(data, 1, (size_t)size, f) != (size_t)size) return 2;
  fclose(f);
  int runs = atoi(argv[2]);
  double best = 1e30;
  for (int r = 0; r < runs + 1; ++r) {
    double t0 = Cpu();
    Mem m = {data, (size_t)size, 0};
    int err = 0;
    GifFileType* gif = DGifOpen(&m, ReadMem, &err);
    if (!gif || DGifSlurp(gif) != GIF_OK || gif->ImageCount < 1) return 1;
    SavedImage* img = &gif->SavedImages[0];
    ColorMapObject* map = img->ImageDesc.ColorMap ? img->ImageDesc.ColorMap : gif->SColorMap;
    size_t pixels = (size_t)img->ImageDesc.Width * img->ImageDesc.Height;
    unsigned char* out = malloc(pixels * 3);
    for (size_t i = 0; i < pixels; ++i) {
      GifColorType c = map->Colors[img->RasterBits[i] % map->ColorCount];
      out[i * 3] = c.Blue;
      out[i * 3 + 1] = c.Green;
      out[i * 3 + 2] = c.Red;
    }
    volatile unsigned char sink = out[pixels * 3 - 1];
    (void)sink;
    free(out);
    DGifCloseFile(gif, &err);
    double t = Cpu() - t0;
    if (r > 0 && t < best) best = t; /* the first run warms up */
  }
  printf("%.3f\n", best * 1e3);
  return 0;
}
