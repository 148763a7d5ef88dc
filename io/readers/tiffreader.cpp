#include "io/readers/tiffreader.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "io/readers/jpegreader.h"
#include "platform/byteorder.h"
#include "platform/stream.h"

namespace rv {

namespace {

void DecodeJpegForTiff(TReadContext& ctx, const TTiffJpegOptions& options) {
  ReadJpeg(ctx, {.Tables = options.Tables,
                 .ApplyProfile = false,
                 .InvertCmyk = options.InvertCmyk,
                 .ParseMetadata = false,
                 .RawYCbCr = options.RawYCbCr});
}

}  // namespace

TTiffJpegDecoder TiffJpegDecoder() {
  return DecodeJpegForTiff;
}

TTiffReadResult ReadTiff(TReadContext& ctx, const TTiffReadOptions& options) {
  TTiffReadOptions withJpeg = options;
  if (!withJpeg.Jpeg) withJpeg.Jpeg = DecodeJpegForTiff;
  return DecodeTiff(ctx, withJpeg);
}

}  // namespace rv

namespace rv {

bool IsTiff(TStream& stream) {
  const int64_t start = stream.Position();
  const int64_t size = stream.Size();
  uint8_t h[8] = {};
  const int64_t got = std::max<int64_t>(stream.Read(h, 8), 0);
  // The 12-byte stream header ("TIFF" and a length) a picture component
  // writes before TIFF data.
  const char* text = reinterpret_cast<const char*>(h);
  if (size > 12 && std::string(text, strnlen(text, size_t(std::min<int64_t>(got, 5)))) == "TIFF") return true;

  if (size <= 8 || got < 8) return false;
  uint8_t at8 = 0;
  stream.Seek(8, soBeginning);
  const bool haveAt8 = stream.Read(&at8, 1) == 1;
  const bool little = h[0] == 'I' && h[1] == 'I';
  if (!little && !(h[0] == 'M' && h[1] == 'M')) return false;
  auto u16 = [little](const uint8_t* p) { return little ? Le16(p) : Be16(p); };
  auto u32 = [little](const uint8_t* p) { return little ? Le32(p) : Be32(p); };
  // The first directory's offset, as a signed 32-bit value, lies before the end.
  if (!(int32_t(u32(h + 4)) < size)) return false;
  // A big-endian header with 0xBA at stream offset 8 is not taken for TIFF.
  if (!little && haveAt8 && at8 == 0xBA) return false;

  // A camera raw file is a TIFF too; its first directory gives it away: a DNG
  // version, a CFA or linear-raw photometric interpretation, or sub-directories
  // beside a small (preview) image.
  const int64_t dir = start + u32(h + 4);
  stream.Seek(dir, soBeginning);
  uint8_t countBytes[2];
  if (stream.Read(countBytes, 2) != 2) return true;
  const int64_t count = u16(countBytes);
  std::vector<uint8_t> entries(size_t(count * 12));
  const int64_t present = count > 0 ? std::max<int64_t>(stream.Read(entries.data(), count * 12), 0) / 12 : 0;
  bool has330 = false, has37398 = false;
  int64_t width = 0, height = 0;
  for (int64_t i = 0; i < present; ++i) {
    const uint8_t* e = entries.data() + i * 12;
    const uint16_t tag = u16(e), type = u16(e + 2);
    const uint32_t n = u32(e + 4);
    // A SHORT value sits in the first two bytes of the value field.
    const uint32_t value = type == 3 ? u16(e + 8) : u32(e + 8);
    if (tag == 50706 && type == 1 && n == 4) return false;
    if (tag == 262 && type == 3 && n == 1 && (value == 32803 || value == 34892)) return false;
    if (tag == 330) has330 = true;
    if (tag == 37398) has37398 = true;
    if (tag == 256) width = value;
    if (tag == 257) height = value;
  }
  return !(has330 && has37398 && width < 200 && height < 200);
}

}  // namespace rv
