#include "io/readers/tiffdir.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "imaging/pxstreams.h"
#include "io/ioparams.h"
#include "platform/stream.h"

namespace rv {

int TiffTypeSize(uint16_t type) {
  static const int sizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
  return type < 14 ? sizes[type] : 0;
}

// ------------------------------------------------------------ source

TTiffSource::TTiffSource(TStream& stream, int64_t base) : s_(stream), base_(base) {
  size_ = std::max<int64_t>(stream.Size() - base, 0);
  if (auto* m = dynamic_cast<TPxMemStream*>(&stream))
    memory_ = m->Memory() + base;
  else if (auto* g = dynamic_cast<TMemoryStream*>(&stream))
    memory_ = g->Memory() + base;
  if (size_ == 0) memory_ = nullptr;
}

bool TTiffSource::ReadAt(int64_t offset, void* buffer, int64_t n) {
  if (offset < 0 || n < 0 || offset > size_ || n > size_ - offset) return false;
  if (n == 0) return true;
  if (memory_) {
    std::memcpy(buffer, memory_ + offset, size_t(n));
    return true;
  }
  s_.Seek(base_ + offset, soBeginning);
  return s_.Read(buffer, n) == n;
}

std::vector<uint8_t> TTiffSource::ReadUpTo(int64_t offset, int64_t n) {
  std::vector<uint8_t> out;
  int64_t got = 0;
  const uint8_t* p = View(offset, n, out, got);
  if (p != out.data()) return std::vector<uint8_t>(p, p + got);
  out.resize(size_t(got));
  return out;
}

const uint8_t* TTiffSource::View(int64_t offset, int64_t n, std::vector<uint8_t>& scratch, int64_t& got) {
  got = 0;
  if (offset < 0 || offset >= size_ || n <= 0) return scratch.data();
  n = std::min(n, size_ - offset);
  if (memory_) {
    got = n;
    return memory_ + offset;
  }
  if (int64_t(scratch.size()) < n) scratch.resize(size_t(n));
  s_.Seek(base_ + offset, soBeginning);
  got = std::max<int64_t>(s_.Read(scratch.data(), n), 0);
  return scratch.data();
}

// ------------------------------------------------------------ directory

const TTiffEntry* TTiffDirectory::Find(uint16_t tag) const {
  for (const TTiffEntry& e : Entries)
    if (e.Tag == tag) return &e;
  return nullptr;
}

std::vector<uint8_t> TTiffDirectory::RawBytes(const TTiffEntry& e, int64_t maxBytes) const {
  const int ts = TiffTypeSize(e.Type);
  const int64_t total = int64_t(e.Count) * ts;
  if (ts == 0 || total == 0) return {};
  const int64_t n = std::min(total, maxBytes);
  if (total <= 4) return std::vector<uint8_t>(e.Value, e.Value + n);
  std::vector<uint8_t> out(size_t(std::min<int64_t>(n, src_->Size())));
  if (total > src_->Size() || !src_->ReadAt(src_->U32(e.Value), out.data(), int64_t(out.size()))) return {};
  return out;
}

namespace {

// One integer element of the given type at p; 0 for types that are no integers.
int64_t Element(const TTiffSource& src, uint16_t type, const uint8_t* p) {
  switch (type) {
    case 1:
    case 7:
      return p[0];
    case 6:
      return int8_t(p[0]);
    case 3:
      return src.U16(p);
    case 8:
      return int16_t(src.U16(p));
    case 4:
    case 13:
      return src.U32(p);
    case 9:
      return int32_t(src.U32(p));
    default:
      return 0;
  }
}

}  // namespace

std::vector<int64_t> TTiffDirectory::Integers(uint16_t tag, int64_t maxCount) const {
  std::vector<int64_t> out;
  const TTiffEntry* e = Find(tag);
  if (!e) return out;
  const int ts = TiffTypeSize(e->Type);
  if (ts == 0 || ts == 8 || e->Type == 11) return out;  // rationals and reals are not integers
  const std::vector<uint8_t> raw = RawBytes(*e, std::min<int64_t>(e->Count, maxCount) * ts);
  out.reserve(raw.size() / size_t(ts));
  for (size_t i = 0; i + size_t(ts) <= raw.size(); i += size_t(ts)) out.push_back(Element(*src_, e->Type, &raw[i]));
  return out;
}

int64_t TTiffDirectory::Integer(uint16_t tag, int64_t fallback) const {
  const std::vector<int64_t> v = Integers(tag, 1);
  return v.empty() ? fallback : v[0];
}

int64_t TTiffDirectory::IntegerAt(uint16_t tag, int i, int64_t fallback) const {
  const std::vector<int64_t> v = Integers(tag, i + 1);
  return int(v.size()) > i ? v[size_t(i)] : fallback;
}

std::vector<double> TTiffDirectory::Reals(uint16_t tag, int64_t maxCount) const {
  std::vector<double> out;
  const TTiffEntry* e = Find(tag);
  if (!e) return out;
  if (e->Type == 5 || e->Type == 10) {
    const std::vector<uint8_t> raw = RawBytes(*e, std::min<int64_t>(e->Count, maxCount) * 8);
    for (size_t i = 0; i + 8 <= raw.size(); i += 8) {
      const uint32_t n = src_->U32(&raw[i]), d = src_->U32(&raw[i + 4]);
      if (e->Type == 10)
        out.push_back(double(int32_t(n)) / (d == 0 ? 1.0 : double(int32_t(d))));
      else
        out.push_back(double(n) / (d == 0 ? 1.0 : double(d)));
    }
    return out;
  }
  for (int64_t v : Integers(tag, maxCount)) out.push_back(double(v));
  return out;
}

double TTiffDirectory::Real(uint16_t tag) const {
  const std::vector<double> v = Reals(tag, 1);
  return v.empty() ? 0.0 : v[0];
}

std::vector<uint8_t> TTiffDirectory::Bytes(uint16_t tag, int64_t maxBytes) const {
  const TTiffEntry* e = Find(tag);
  return e ? RawBytes(*e, maxBytes) : std::vector<uint8_t>{};
}

std::string TTiffDirectory::Text(uint16_t tag) const {
  const TTiffEntry* e = Find(tag);
  if (!e || e->Count > kMaxTiffTextBytes || TiffTypeSize(e->Type) != 1) return {};
  std::vector<uint8_t> raw = RawBytes(*e, e->Count);
  while (!raw.empty() && raw.back() == 0) raw.pop_back();
  return std::string(raw.begin(), raw.end());
}

bool TTiffDirectory::WideText(uint16_t tag, std::u16string& out) const {
  const TTiffEntry* e = Find(tag);
  if (!e) {
    out.clear();
    return true;
  }
  if (e->Count > kMaxTiffTextBytes || TiffTypeSize(e->Type) != 1) return false;
  const std::vector<uint8_t> raw = RawBytes(*e, e->Count);
  out.clear();
  for (size_t i = 0; i + 1 < raw.size(); i += 2) out.push_back(char16_t(raw[i] | (raw[i + 1] << 8)));
  return true;
}

// ------------------------------------------------------------ chain

bool ReadTiffHeader(TTiffSource& src, int64_t& firstDirectory) {
  uint8_t header[8];
  if (!src.ReadAt(0, header, 8) || !((header[0] == 'I' && header[1] == 'I') || (header[0] == 'M' && header[1] == 'M')))
    return false;
  src.SetBigEndian(header[0] == 'M');
  firstDirectory = src.U32(header + 4);
  return true;
}

bool LoadTiffDirectory(TTiffSource& src, int64_t offset, TTiffDirectory& dir) {
  uint8_t b[2];
  if (!src.ReadAt(offset, b, 2)) return false;
  const int64_t count = std::min<int64_t>(src.U16(b), (src.Size() - offset - 2) / 12);
  if (count <= 0) return false;
  std::vector<uint8_t> raw(size_t(count * 12));
  if (!src.ReadAt(offset + 2, raw.data(), count * 12)) return false;
  dir.Entries.resize(size_t(count));
  for (int64_t i = 0; i < count; ++i) {
    const uint8_t* p = &raw[size_t(i * 12)];
    TTiffEntry& e = dir.Entries[size_t(i)];
    e.Tag = src.U16(p);
    e.Type = src.U16(p + 2);
    e.Count = src.U32(p + 4);
    std::memcpy(e.Value, p + 8, 4);
  }
  return true;
}

int32_t WalkTiffDirectories(TTiffSource& src, int64_t first, int64_t wanted, TTiffDirectory& dir, bool& found) {
  found = false;
  int32_t count = 0;
  std::unordered_set<int64_t> visited;
  for (int64_t offset = first; count < kMaxTiffDirectories;) {
    if (offset < 8 || offset + 2 > src.Size() || !visited.insert(offset).second) break;
    uint8_t b[4];
    if (!src.ReadAt(offset, b, 2)) break;
    const int64_t entries = src.U16(b);
    if (entries == 0) break;
    if (count == wanted) found = LoadTiffDirectory(src, offset, dir);
    ++count;
    if (!src.ReadAt(offset + 2 + entries * 12, b, 4)) break;
    offset = src.U32(b);
    if (offset == 0) break;
  }
  return count;
}

// ------------------------------------------------------------ metadata

void ReadTiffExifFields(const TTiffDirectory& d, TIOParamsVals& params) {
  params.ExifMake = d.Text(kTagMake);
  params.ExifModel = d.Text(kTagModel);
  params.ExifSoftware = d.Text(kTagSoftware);
  params.ExifArtist = d.Text(kTagArtist);
  params.ExifDateTime = d.Text(kTagDateTime);
  params.ExifRightsNotice = d.Text(kTagCopyright);
  params.ExifResolutionUnit = int32_t(d.Integer(kTagResolutionUnit, 2));
  auto reals = [&](uint16_t tag, auto& arr) {
    const std::vector<double> v = d.Reals(tag, int64_t(arr.size()));
    for (size_t i = 0; i < arr.size(); ++i) arr[i] = i < v.size() ? v[i] : 0.0;
  };
  reals(kTagWhitePoint, params.ExifWhitePoint);
  reals(kTagPrimaryChromaticities, params.ExifPrimaryChromaticities);
  reals(kTagYCbCrCoefficients, params.ExifYCbCrCoefficients);
  reals(kTagReferenceBlackWhite, params.ExifReferenceBlackWhite);
  params.ExifYCbCrPositioning = int32_t(d.Integer(kTagYCbCrPositioning, 0));
  d.WideText(40091, params.ExifXPTitle);
  d.WideText(40092, params.ExifXPComment);
  d.WideText(40093, params.ExifXPAuthor);
  d.WideText(40094, params.ExifXPKeywords);
  d.WideText(40095, params.ExifXPSubject);
}

namespace {

void ReadExifValues(TTiffSource& src, const TTiffDirectory& e, TIOParamsVals& params) {
  auto real = [&](uint16_t tag) { return e.Real(tag); };
  auto integer = [&](uint16_t tag) { return int32_t(e.Integer(tag, 0)); };
  auto bytesText = [&](uint16_t tag) {
    const TTiffEntry* en = e.Find(tag);
    if (!en || en->Count > kMaxTiffTextBytes) return std::string();
    const std::vector<uint8_t> b = e.RawBytes(*en, en->Count);
    return std::string(b.begin(), b.end());
  };
  params.ExifExposureTime = real(33434);
  params.ExifFNumber = real(33437);
  params.ExifExposureProgram = integer(34850);
  params.ExifISOSpeedRatings = {int32_t(e.IntegerAt(34855, 0, 0)), int32_t(e.IntegerAt(34855, 1, 0))};
  params.ExifVersion = bytesText(36864);
  params.ExifDateTimeOriginal = e.Text(36867);
  params.ExifDateTimeDigitized = e.Text(36868);
  params.ExifCompressedBitsPerPixel = real(37122);
  params.ExifShutterSpeedValue = real(37377);
  params.ExifApertureValue = real(37378);
  params.ExifBrightnessValue = real(37379);
  params.ExifExposureBiasValue = real(37380);
  params.ExifMaxApertureValue = real(37381);
  params.ExifSubjectDistance = real(37382);
  params.ExifMeteringMode = integer(37383);
  params.ExifLightSource = integer(37384);
  params.ExifFlash = integer(37385);
  params.ExifFocalLength = real(37386);
  params.ExifSubsecTime = e.Text(37520);
  params.ExifSubsecTimeOriginal = e.Text(37521);
  params.ExifSubsecTimeDigitized = e.Text(37522);
  params.ExifFlashPixVersion = bytesText(40960);
  params.ExifColorSpace = integer(40961);
  params.ExifImageWidth = integer(40962);
  params.ExifImageHeight = integer(40963);
  params.ExifRelatedSoundFile = e.Text(40964);
  params.ExifFocalPlaneXResolution = real(41486);
  params.ExifFocalPlaneYResolution = real(41487);
  params.ExifFocalPlaneResolutionUnit = integer(41488);
  params.ExifExposureIndex = real(41493);
  params.ExifSensingMethod = integer(41495);
  params.ExifFileSource = integer(41728);
  params.ExifSceneType = integer(41729);
  const std::string comment = bytesText(37510);
  params.ExifUserCommentCode = comment.substr(0, std::min<size_t>(8, comment.size()));
  params.ExifUserComment = comment.size() > 8 ? comment.substr(8) : std::string();
  params.ExifMakerNote.Clear();
  if (const TTiffEntry* note = e.Find(37500); note && TiffTypeSize(note->Type) == 1 && note->Count > 4) {
    // The note's own entries point into the whole TIFF structure: read the
    // structure up to a little past the note (bounded).
    const int64_t offset = src.U32(note->Value);
    const int64_t end = std::min<int64_t>(src.Size(), offset + int64_t(note->Count) + (int64_t(1) << 16));
    if (offset < src.Size() && end <= (int64_t(16) << 20)) {
      const std::vector<uint8_t> whole = src.ReadUpTo(0, end);
      params.ExifMakerNote.ReadFromTiff(whole.data(), int64_t(whole.size()), offset, note->Count, src.BigEndian());
    }
  }
}

}  // namespace

void ReadExifSubdirectory(TTiffSource& src, const TTiffDirectory& dir, TIOParamsVals& params) {
  const int64_t offset = dir.Integer(kTagExifIfd, 0);
  if (offset <= 0) return;
  TTiffDirectory exif(src);
  if (!LoadTiffDirectory(src, offset, exif)) return;
  params.ExifPresent = 1;
  ReadExifValues(src, exif, params);
}

}  // namespace rv
