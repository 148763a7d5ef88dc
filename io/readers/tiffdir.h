// The TIFF structure, shared by the TIFF reader and the EXIF parser (an EXIF
// block is a TIFF structure): the header, the chain of directories, the
// values of their tags read in the file's byte order, and the TIFF and EXIF
// fields of the parameter record those tags fill. Nothing here decodes
// pixels.
//
// Bad data never reads past the end: a value that does not lie inside the
// data reads as missing, entries past the end are dropped, and the walk along
// the chain stops at a loop (a visited set), at a directory past the end and
// after kMaxTiffDirectories directories.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rv {

class TStream;
class TIOParamsVals;

inline constexpr int kMaxTiffDirectories = 4096;

// Tags this system reads.
enum TTiffTag : uint16_t {
  kTagWidth = 256,
  kTagHeight = 257,
  kTagBitsPerSample = 258,
  kTagCompression = 259,
  kTagPhotometric = 262,
  kTagFillOrder = 266,
  kTagDocumentName = 269,
  kTagImageDescription = 270,
  kTagMake = 271,
  kTagModel = 272,
  kTagStripOffsets = 273,
  kTagOrientation = 274,
  kTagSamplesPerPixel = 277,
  kTagRowsPerStrip = 278,
  kTagStripByteCounts = 279,
  kTagXResolution = 282,
  kTagYResolution = 283,
  kTagPlanarConfig = 284,
  kTagPageName = 285,
  kTagXPosition = 286,
  kTagYPosition = 287,
  kTagT4Options = 292,
  kTagT6Options = 293,
  kTagResolutionUnit = 296,
  kTagPageNumber = 297,
  kTagSoftware = 305,
  kTagDateTime = 306,
  kTagArtist = 315,
  kTagPredictor = 317,
  kTagWhitePoint = 318,
  kTagPrimaryChromaticities = 319,
  kTagColorMap = 320,
  kTagTileWidth = 322,
  kTagTileLength = 323,
  kTagTileOffsets = 324,
  kTagTileByteCounts = 325,
  kTagExtraSamples = 338,
  kTagSampleFormat = 339,
  kTagJpegTables = 347,
  kTagJpegProc = 512,
  kTagJpegIfOffset = 513,
  kTagJpegIfLength = 514,
  kTagYCbCrCoefficients = 529,
  kTagYCbCrPositioning = 531,
  kTagReferenceBlackWhite = 532,
  kTagAnnotations = 32932,
  kTagCopyright = 33432,
  kTagIptc = 33723,
  kTagExifIfd = 34665,
  kTagIccProfile = 34675,
};

// Values of the Compression tag. The reader decodes kNone to kJpeg and
// kPackBits; the others are named for the reason text of a refusal.
enum class TTiffCompression : int {
  kNone = 1,
  kModifiedHuffman = 2,  // CCITT one-dimensional, no end-of-line codes
  kGroup3 = 3,
  kGroup4 = 4,
  kLzw = 5,
  kOldJpeg = 6,  // a whole JPEG stream (interchange format) for the picture
  kJpeg = 7,     // a JPEG stream per strip or tile, tables shared
  kDeflate = 8,
  kPackBits = 32773,
  kThunderScan = 32809,
  kAdobeDeflate = 32946,
  kSgiLog = 34676,
  kSgiLog24 = 34677,
  kJpeg2000 = 34712,
};

// Field types 1..12 of TIFF 6.0 and 13 (IFD); 0 for unknown types.
int TiffTypeSize(uint16_t type);

struct TTiffEntry {
  uint16_t Tag = 0;
  uint16_t Type = 0;
  uint32_t Count = 0;
  uint8_t Value[4] = {};  // the value itself when it fits, else its offset
};

// A TIFF structure in a stream: offsets relative to base, nothing read past
// the end of the stream. A stream over memory is read in place.
class TTiffSource {
 public:
  TTiffSource(TStream& stream, int64_t base);
  int64_t Size() const { return size_; }
  bool BigEndian() const { return be_; }
  void SetBigEndian(bool v) { be_ = v; }

  // Reads exactly n bytes at offset, or returns false.
  bool ReadAt(int64_t offset, void* buffer, int64_t n);
  // Reads what is there of [offset, offset + n).
  std::vector<uint8_t> ReadUpTo(int64_t offset, int64_t n);
  // What is there of [offset, offset + n), without a copy when the stream is
  // in memory, else read into scratch (grown as needed, never shrunk, so one
  // buffer serves every strip). got: the bytes there are (0: none).
  const uint8_t* View(int64_t offset, int64_t n, std::vector<uint8_t>& scratch, int64_t& got);

  uint16_t U16(const uint8_t* p) const { return be_ ? uint16_t((p[0] << 8) | p[1]) : uint16_t(p[0] | (p[1] << 8)); }
  uint32_t U32(const uint8_t* p) const {
    return be_ ? (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]
               : uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
  }

 private:
  TStream& s_;
  int64_t base_;
  int64_t size_ = 0;
  const uint8_t* memory_ = nullptr;  // the data at base, when the stream is in memory
  bool be_ = false;
};

// One loaded directory with the tag access rules.
class TTiffDirectory {
 public:
  explicit TTiffDirectory(TTiffSource& src) : src_(&src) {}
  std::vector<TTiffEntry> Entries;

  const TTiffEntry* Find(uint16_t tag) const;
  bool Has(uint16_t tag) const { return Find(tag) != nullptr; }

  // The bytes of a value (inline or at its offset), at most maxBytes; empty
  // when they do not lie inside the data.
  std::vector<uint8_t> RawBytes(const TTiffEntry& e, int64_t maxBytes) const;
  // Up to maxCount integer values (signed types sign-extended); rationals and
  // reals are not integers and read as missing.
  std::vector<int64_t> Integers(uint16_t tag, int64_t maxCount) const;
  int64_t Integer(uint16_t tag, int64_t fallback) const;
  int64_t IntegerAt(uint16_t tag, int i, int64_t fallback) const;
  // Rationals (and other numbers) as doubles; a denominator of 0 counts as 1.
  std::vector<double> Reals(uint16_t tag, int64_t maxCount) const;
  double Real(uint16_t tag) const;  // 0 when missing
  std::vector<uint8_t> Bytes(uint16_t tag, int64_t maxBytes) const;
  // Text without trailing zero bytes; longer than kMaxTiffTextBytes: empty.
  std::string Text(uint16_t tag) const;
  // UTF-16 text of the XP tags, little-endian as Windows writes them. A
  // missing tag gives empty text; an unusable one false (out left alone).
  bool WideText(uint16_t tag, std::u16string& out) const;

 private:
  TTiffSource* src_;
};

inline constexpr uint32_t kMaxTiffTextBytes = 0xFFFFF;

// Checks the "II" / "MM" header at offset 0, sets the byte order and gives
// the offset of the first directory (0: none). False without a header.
bool ReadTiffHeader(TTiffSource& src, int64_t& firstDirectory);

// Loads the entries of the directory at offset; entries past the data are dropped.
bool LoadTiffDirectory(TTiffSource& src, int64_t offset, TTiffDirectory& dir);

// Walks the chain from the first directory: returns how many directories
// there are and loads directory `wanted` into dir (found tells whether it was).
int32_t WalkTiffDirectories(TTiffSource& src, int64_t first, int64_t wanted, TTiffDirectory& dir, bool& found);

// The main directory's text and EXIF fields (make, model, software, white
// point, the XP texts and the like) into params.
void ReadTiffExifFields(const TTiffDirectory& dir, TIOParamsVals& params);

// The EXIF directory the main one points at (tag 34665), when there is one:
// sets ExifPresent and the EXIF values of params.
void ReadExifSubdirectory(TTiffSource& src, const TTiffDirectory& dir, TIOParamsVals& params);

}  // namespace rv
