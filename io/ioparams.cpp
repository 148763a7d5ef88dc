#include "io/ioparams.h"

#include <algorithm>

#include "imaging/pxbitmap.h"
#include "imaging/pxmetadata.h"
#include "io/pictureio.h"
#include "platform/tbitmap.h"

namespace rv {

namespace {

constexpr uint8_t kApp1 = 0xE1;

// Bytes of one element of a TIFF field type (0 for unknown types).
int TiffTypeSize(int type) {
  static constexpr int sizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
  return type >= 0 && type <= 12 ? sizes[type] : 0;
}

uint32_t Read(const uint8_t* p, int bytes, bool bigEndian) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= uint32_t(p[bigEndian ? bytes - 1 - i : i]) << (8 * i);
  return v;
}

void PutLe(std::vector<uint8_t>& out, size_t at, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Copies count elements of a type into out at `at`, turning them little-endian.
void CopyElements(const uint8_t* src, int64_t count, int type, bool bigEndian, std::vector<uint8_t>& out, size_t at) {
  const int size = TiffTypeSize(type);
  // RATIONAL and SRATIONAL are two 32-bit words; DOUBLE is one 8-byte word.
  const int word = (type == 5 || type == 10) ? 4 : size;
  const int64_t words = count * size / word;
  for (int64_t w = 0; w < words; ++w)
    for (int i = 0; i < word; ++i) out[at + w * word + i] = src[w * word + (bigEndian ? word - 1 - i : i)];
}

}  // namespace

// --- TPxTagsHandler ------------------------------------------------------

void TPxTagsHandler::ReadFromTiff(const uint8_t* tiff, int64_t tiffSize, int64_t noteOffset, int64_t noteLength,
                                  bool bigEndian) {
  data_.clear();
  if (!tiff || noteOffset < 0 || noteLength < 2 || noteOffset > tiffSize || noteLength > tiffSize - noteOffset) return;
  const uint8_t* note = tiff + noteOffset;
  const int count = static_cast<int>(Read(note, 2, bigEndian));
  const int64_t dirBytes = 2 + int64_t(count) * 12;
  if (count > 256 || dirBytes > noteLength) return;
  std::vector<uint8_t> out(static_cast<size_t>(dirBytes));
  PutLe(out, 0, static_cast<uint32_t>(count), 2);
  for (int i = 0; i < count; ++i) {
    const uint8_t* e = note + 2 + i * 12;
    const size_t o = 2 + size_t(i) * 12;
    const uint32_t tag = Read(e, 2, bigEndian), type = Read(e + 2, 2, bigEndian), n = Read(e + 4, 4, bigEndian);
    // Type 0 and types past DOUBLE do not exist: not a tag directory after all.
    if (type == 0 || type > 12) return;
    PutLe(out, o, tag, 2);
    PutLe(out, o + 2, type, 2);
    PutLe(out, o + 4, n, 4);
    const int64_t bytes = int64_t(n) * TiffTypeSize(static_cast<int>(type));
    if (bytes <= 4) {
      CopyElements(e + 8, n, static_cast<int>(type), bigEndian, out, o + 8);
      continue;
    }
    const int64_t at = Read(e + 8, 4, bigEndian);
    if (at > tiffSize || bytes > tiffSize - at) return;
    const size_t behind = out.size();
    out.resize(behind + static_cast<size_t>(bytes));
    CopyElements(tiff + at, n, static_cast<int>(type), bigEndian, out, behind);
    PutLe(out, o + 8, static_cast<uint32_t>(behind), 4);
  }
  data_ = std::move(out);
}

int TPxTagsHandler::Count() const {
  return data_.size() >= 2 ? data_[0] | (data_[1] << 8) : 0;
}

// --- TIOParamsVals -------------------------------------------------------

TIOParamsVals::TIOParamsVals(TPictureIO* owner)
    : owner_(owner), markers_(std::make_unique<TPxMarkerList>()), iptc_(std::make_unique<TPxIPTCInfoList>()) {
  SetDefaults();
}

TIOParamsVals::~TIOParamsVals() = default;

void TIOParamsVals::SetDefaults() {
  static_cast<TIOParamsFields&>(*this) = TIOParamsFields();
  colorMap_.clear();
  orientation_ = 1;
  thumbnailOnly_ = 0;
  if (owner_ && owner_->AttachedPlainBitmap()) {
    Width = owner_->AttachedPlainBitmap()->Width();
    Height = owner_->AttachedPlainBitmap()->Height();
  }
  markers_->ClearMarkers();
  iptc_->ClearRecords();
  ClearExif();
  // After ClearExif, so the EXIF resolution mirrors the DPI as every setting does.
  SetDpiX(300);
  SetDpiY(300);
  annotations_.reset();
  inputProfile_.reset();
  outputProfile_.reset();
}

void TIOParamsVals::ClearMetadata() {
  iptc_->ClearRecords();
  annotations_.reset();
  markers_->ClearMarkers();
  ClearExif();
  GifComments.clear();
  PngTextKeys.clear();
  PngTextValues.clear();
  TiffDocumentName.clear();
  TiffImageDescription.clear();
  TiffPageName.clear();
  TgaImageName.clear();
  TgaAuthor.clear();
  TgaJobName.clear();
  PnmComments.clear();
  inputProfile_.reset();
}

void TIOParamsVals::ClearExif() {
  static_cast<TExifValues&>(*this) = TExifValues();
  exifThumbnail_.reset();
  const int app1 = markers_->IndexOfType(kApp1);
  if (app1 >= 0) markers_->DeleteMarker(app1);
}

void TIOParamsVals::Assign(const TIOParamsVals& source) {
  if (&source == this) return;
  static_cast<TIOParamsFields&>(*this) = source;
  // The index group is kept together even if the source's members differ.
  SetImageIndex(source.ImageIndex);
  orientation_ = source.orientation_;
  thumbnailOnly_ = source.thumbnailOnly_;
  colorMap_ = source.colorMap_;
  SetDpiX(source.dpiX_);
  SetDpiY(source.dpiY_);
  // SetDpiX/Y wrote the EXIF resolution; the source's own value wins.
  ExifXResolution = source.ExifXResolution;
  ExifYResolution = source.ExifYResolution;
  markers_->AssignFrom(*source.markers_);
  iptc_->AssignFrom(*source.iptc_);
  annotations_ = source.annotations_ ? std::make_unique<TPxImagingAnnot>(*source.annotations_) : nullptr;
  inputProfile_ = source.inputProfile_ ? std::make_unique<TPxICC>(*source.inputProfile_) : nullptr;
  outputProfile_ = source.outputProfile_ ? std::make_unique<TPxICC>(*source.outputProfile_) : nullptr;
  if (source.exifThumbnail_) {
    ExifThumbnail().AssignFrom(*source.exifThumbnail_);
  } else {
    exifThumbnail_.reset();
  }
}

void TIOParamsVals::SetDpiX(int32_t v) {
  dpiX_ = v;
  ExifXResolution = v;
  if (owner_ && owner_->AttachedPictureView()) owner_->AttachedPictureView()->SetImageDpiX(v);
}

void TIOParamsVals::SetDpiY(int32_t v) {
  dpiY_ = v;
  ExifYResolution = v;
  if (owner_ && owner_->AttachedPictureView()) owner_->AttachedPictureView()->SetImageDpiY(v);
}

void TIOParamsVals::SetImageIndex(int32_t v) {
  ImageIndex = TiffImageIndex = DcxImageIndex = GifImageIndex = IcoImageIndex = CurImageIndex = v;
}

void TIOParamsVals::SetImageCount(int32_t v) {
  ImageCount = TiffImageCount = GifImageCount = VideoFrameCount = v;
}

void TIOParamsVals::SetOrientation(int32_t v) {
  orientation_ = ExifOrientation = v;
}

void TIOParamsVals::SetThumbnailOnly(uint8_t v) {
  thumbnailOnly_ = TiffThumbnailOnly = v;
}

void TIOParamsVals::SetColorMap(const TColorBGR* entries, int32_t count) {
  if (!entries || count <= 0) {
    colorMap_.clear();
    return;
  }
  colorMap_.assign(entries, entries + count);
}

TPxImagingAnnot& TIOParamsVals::Annotations() {
  if (!annotations_) annotations_ = std::make_unique<TPxImagingAnnot>();
  return *annotations_;
}

TPxICC& TIOParamsVals::InputProfile() {
  if (!inputProfile_) inputProfile_ = std::make_unique<TPxICC>();
  return *inputProfile_;
}

TPxICC& TIOParamsVals::OutputProfile() {
  if (!outputProfile_) outputProfile_ = std::make_unique<TPxICC>();
  return *outputProfile_;
}

TPxBitmap& TIOParamsVals::ExifThumbnail() {
  if (!exifThumbnail_) exifThumbnail_ = std::make_unique<TPxBitmap>();
  return *exifThumbnail_;
}

}  // namespace rv
