// The PCX reader (ZSoft PC Paintbrush, run-length or plain data) and the DCX
// reader (a table of PCX pages in one file).
//
// Layouts decoded: 1 bit x 1 plane (pxMono1, a set bit is white); 2 and 4
// bits x 1 plane and 1 bit x 2..4 planes (indexes into the 16-entry header
// table, pxRGB24); 8 bits x 1 plane (the 256-entry table at the end of the
// data, pxRGB24); 8 bits x 3 or 4 planes (red, green, blue lines; a fourth
// line is not used). Rows of other layouts are left black.
//
// Failure is reported through progress.Fail (abort flag and reason); nothing
// is thrown. What each kind of bad input gives:
//   - a header that cannot be right (manufacturer not 10, encoding not 0 or
//     1, bits per plane not 1/2/4/8, no planes or more than 4, xmax < xmin or
//     ymax < ymin, bytes per line fewer than one row of a plane needs, a
//     picture the limits check refuses): abort before anything is allocated;
//     the bitmap keeps its previous picture.
//   - data that ends early, even right after the header: not an error; the
//     bitmap keeps the header's size (io/limits.h), the rest of a row cut
//     short and the rows not reached are black. Plain data claiming far more
//     than its bytes is refused by the limits check.
//   - a run that passes the end of a line continues into the next line (as
//     PCX writers expect); no run ever writes past the row buffer.
//   - an 8-bit picture without its 256-entry table (no 0x0C marker in front
//     of the last 768 bytes, or data too short to hold one): a gray ramp.
//   - DCX: no magic, no pages, a page offset outside the file: abort. Pages
//     past the 1023rd are ignored; a page ends at the next larger page
//     offset, so an unsorted table still gives each page its own bytes.
#pragma once

#include <cstdint>

#include "io/readcontext.h"

namespace rv {

class TStream;

struct TPcxReadOptions {
  // Bytes of this picture from the current position (the 256-entry table is
  // looked for at its end); <= 0: to the end of the stream. Nothing past them
  // is read.
  int64_t DataSize = 0;
};

// Decodes the PCX at the stream's current position into the bitmap and fills
// the parameters (Width, Height, DpiX, DpiY, BitsPerSample, SamplesPerPixel,
// PcxVersion, ColorMap). With the default options, the registry's reader for
// format 4.
void ReadPcx(TReadContext& ctx, const TPcxReadOptions& options = {});

// Decodes page DcxImageIndex (clamped to the pages there are) of the DCX at
// the stream's current position; every image index field of the parameters
// becomes that page's number and ImageCount the number of pages. The
// registry's reader entry for format 19.
void ReadDcx(TReadContext& ctx);

// Content tests. PCX: a "PCX2" (12-byte) or "PCX" (4-byte) stream header, or
// the manufacturer byte 0x0A with a version up to 5 in a stream longer than
// the 128-byte header. DCX: the magic number, with every page offset of the
// table (up to its closing 0) below the stream's size.
bool IsPcx(TStream& stream);
bool IsDcx(TStream& stream);

}  // namespace rv
