// The EXIF block of a JPEG file's APP1 marker: "Exif", two zero bytes, then
// a TIFF structure whose directory 0 holds the values and directory 1 the
// thumbnail. Sits below both the JPEG reader (which parses its markers with
// it) and the TIFF reader.
#pragma once

#include <cstdint>

#include "io/readers/tiffdecode.h"

namespace rv {

class TIOParamsVals;

// The EXIF step of the JPEG reader: data is an APP1 block. Returns true when
// it found EXIF data and copied it into params (resolution through
// SetDpiX/SetDpiY, the EXIF values, the thumbnail). jpeg decodes an
// old-style JPEG thumbnail (null: such a thumbnail is left out). Bad EXIF
// data never fails the JPEG load.
bool ParseExifBlock(const uint8_t* data, int64_t length, TIOParamsVals& params, TTiffJpegDecoder jpeg);

// The TIFF step: tiff/size is the TIFF structure of an EXIF APP1 block (after
// "Exif\0\0"). On success the EXIF values, the resolution (DpiX/DpiY through
// their setters), ExifPresent and the thumbnail (turned by the orientation)
// are stored in params and true is returned. Bad data never aborts anybody's
// load: it only makes the result false (or leaves the thumbnail empty).
bool ReadExifTiff(const uint8_t* tiff, int64_t size, TIOParamsVals& params, TTiffJpegDecoder jpeg);

}  // namespace rv
