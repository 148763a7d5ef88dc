// TIOParamsVals: the parameter record of one loaded picture. Readers report
// through it what they found (size, depth, resolution, per-format fields,
// metadata); callers set options on it before the next load (image index,
// JPEG scale, native pixel format, thumbnail mode). One is owned by each
// TPictureIO; readers get a reference.
//
// Fields keep their established names and are public, as a record's fields are
// (plain ones in TIOParamsFields and TExifValues, so resetting and copying
// them is one assignment); those whose setting must reach other fields or the
// attached viewer (DpiX, DpiY, Orientation, ThumbnailOnly, the colour map) and
// the owned containers are behind accessors.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imaging/pxtypes.h"

namespace rv {

class TPictureIO;
class TPxBitmap;
class TPxMarkerList;
class TPxIPTCInfoList;
class TStream;

// An ICC colour profile as found in the file (parsed by whoever uses it).
struct TPxICC {
  std::vector<uint8_t> Data;
};

// TIFF imaging annotations (tag 32932), kept as stored.
struct TPxImagingAnnot {
  std::vector<uint8_t> Data;
};

// The EXIF maker note kept as a small self-contained tag directory: an entry
// count, 12-byte entries in little-endian order and, behind them, the values
// longer than 4 bytes with their offsets pointing there (relative to Data).
class TPxTagsHandler {
 public:
  // Reads a maker note from the TIFF block that holds it. tiff/tiffSize: the
  // whole TIFF structure (offsets of long values are relative to it);
  // noteOffset/noteLength: the note inside it; bigEndian: the TIFF byte order.
  // Data that is no such directory, or an entry type above 12, leaves the store empty.
  void ReadFromTiff(const uint8_t* tiff, int64_t tiffSize, int64_t noteOffset, int64_t noteLength, bool bigEndian);
  void Clear() { data_.clear(); }
  bool Empty() const { return data_.empty(); }
  int Count() const;
  const std::vector<uint8_t>& Data() const { return data_; }

 private:
  std::vector<uint8_t> data_;
};

// TIFF LZW and GIF LZW codecs are replaceable per record. Their interfaces come
// with the TIFF and GIF readers; null means the built-in codec.
struct TTiffLzwCodec;
using TGifDecoderFunc = void (*)(TStream& stream, int height, int width, uint8_t* indices, bool interlaced);
using TGifEncoderFunc = void (*)(TStream& stream, int height, int width, const uint8_t* indices, bool interlaced,
                                 int bitsPerPixel);

struct TIcoSize {
  int32_t Width = 0;
  int32_t Height = 0;
  friend bool operator==(const TIcoSize&, const TIcoSize&) = default;
};

// The EXIF values: ClearExif resets them all (strings empty, numbers 0).
struct TExifValues {
  uint8_t ExifPresent = 0;
  std::string ExifImageDescription;
  std::string ExifMake;
  std::string ExifModel;
  int32_t ExifOrientation = 0;
  double ExifXResolution = 0;
  double ExifYResolution = 0;
  int32_t ExifResolutionUnit = 0;
  std::string ExifSoftware;
  std::string ExifArtist;
  std::string ExifDateTime;
  std::array<double, 2> ExifWhitePoint{};
  std::array<double, 6> ExifPrimaryChromaticities{};
  std::array<double, 3> ExifYCbCrCoefficients{};
  int32_t ExifYCbCrPositioning = 0;
  std::array<double, 6> ExifReferenceBlackWhite{};
  std::string ExifRightsNotice;
  double ExifExposureTime = 0;
  double ExifFNumber = 0;
  int32_t ExifExposureProgram = 0;
  std::array<int32_t, 2> ExifISOSpeedRatings{};
  std::string ExifVersion;
  std::string ExifDateTimeOriginal;
  std::string ExifDateTimeDigitized;
  double ExifCompressedBitsPerPixel = 0;
  double ExifShutterSpeedValue = 0;
  double ExifApertureValue = 0;
  double ExifBrightnessValue = 0;
  double ExifExposureBiasValue = 0;
  double ExifMaxApertureValue = 0;
  double ExifSubjectDistance = 0;
  int32_t ExifMeteringMode = 0;
  int32_t ExifLightSource = 0;
  int32_t ExifFlash = 0;
  double ExifFocalLength = 0;
  std::string ExifSubsecTime;
  std::string ExifSubsecTimeOriginal;
  std::string ExifSubsecTimeDigitized;
  std::string ExifFlashPixVersion;
  int32_t ExifColorSpace = 0;
  int32_t ExifImageWidth = 0;
  int32_t ExifImageHeight = 0;
  std::string ExifRelatedSoundFile;
  double ExifFocalPlaneXResolution = 0;
  double ExifFocalPlaneYResolution = 0;
  int32_t ExifFocalPlaneResolutionUnit = 0;
  double ExifExposureIndex = 0;
  int32_t ExifSensingMethod = 0;
  int32_t ExifFileSource = 0;
  int32_t ExifSceneType = 0;
  std::string ExifUserComment;
  std::string ExifUserCommentCode;
  TPxTagsHandler ExifMakerNote;
  std::u16string ExifXPTitle;
  std::u16string ExifXPComment;
  std::u16string ExifXPAuthor;
  std::u16string ExifXPKeywords;
  std::u16string ExifXPSubject;
};

// The plain fields of the parameter record with their defaults.
struct TIOParamsFields : TExifValues {
  // --- core ---------------------------------------------------------------
  int32_t BitsPerSample = 8;
  std::string FileName;
  int32_t SamplesPerPixel = 3;
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t FileType = 0;
  int32_t ImageIndex = 0;
  int32_t ImageCount = 0;

  // --- TIFF ---------------------------------------------------------------
  uint8_t TiffThumbnailOnly = 0;
  uint8_t TiffCompression = 0;
  int32_t TiffImageIndex = 0;
  uint8_t TiffPhotometric = 2;
  int32_t TiffPlanarConfig = 1;
  int32_t TiffXPos = 0;
  int32_t TiffYPos = 0;
  std::string TiffDocumentName;
  std::string TiffImageDescription;
  std::string TiffPageName;
  int32_t TiffPageNumber = -1;
  int32_t TiffPageCount = -1;
  const TTiffLzwCodec* TiffLzwDecoder = nullptr;  // null: the built-in codec
  const TTiffLzwCodec* TiffLzwEncoder = nullptr;
  uint8_t TiffAutoRotate = 0;
  int32_t TiffJpegQuality = 80;    // writer only
  uint8_t TiffJpegColorSpace = 2;  // writer only
  int32_t TiffImageCount = 0;
  int32_t TiffFillOrder = 1;
  int32_t DcxImageIndex = 0;

  // --- GIF ----------------------------------------------------------------
  std::string GifVersion = "GIF89a";
  int32_t GifImageIndex = 0;
  int32_t GifXPos = 0;
  int32_t GifYPos = 0;
  int32_t GifDelayTime = 0;
  uint8_t GifTransparent = 0;
  TColorBGR GifTransparentColor{};
  uint8_t GifInterlaced = 0;
  int32_t GifScreenWidth = 0;
  int32_t GifScreenHeight = 0;
  TColorBGR GifBackground{};
  int32_t GifAspectRatio = 0;
  std::vector<std::string> GifComments;
  uint8_t GifDisposal = 2;
  TGifDecoderFunc GifDecoder = nullptr;  // null: the built-in decoder
  TGifEncoderFunc GifEncoder = nullptr;  // writer only
  int32_t GifImageCount = 0;

  // --- JPEG ---------------------------------------------------------------
  uint8_t JpegColorSpace = 2;
  int32_t JpegQuality = 80;  // writer only
  uint8_t JpegDctMethod = 0;
  uint8_t JpegOptimalHuffman = 0;  // writer only
  int32_t JpegSmoothing = 0;       // writer only
  uint8_t JpegProgressive = 0;
  uint8_t JpegScale = 1;
  int32_t JpegScaleUsed = 1;
  int32_t JpegWarningCount = 0;
  int32_t JpegWarningCode = 0;
  int32_t JpegHeaderWidth = 0;
  int32_t JpegHeaderHeight = 0;
  uint8_t AutoRotate = 0;
  // Camera-raw settings, read by the camera-raw reader, which settles their meaning.
  uint8_t RawSettingA = 1;
  double RawSettingB = 1.0;
  uint8_t RawSettingC = 0;
  int32_t PcxVersion = 5;
  uint8_t PcxRunLength = 1;  // writer only

  // --- BMP ----------------------------------------------------------------
  uint8_t BmpVersion = 1;
  uint8_t BmpRunLength = 0;

  // --- icon and cursor ----------------------------------------------------
  int32_t IcoImageIndex = 0;
  TColorBGR IcoBackground = MakeBGR(255, 255, 255);
  int32_t CurImageIndex = 0;
  int32_t CurHotSpotX = 0;
  int32_t CurHotSpotY = 0;
  TColorBGR CurBackground = MakeBGR(255, 255, 255);

  // --- PNG ----------------------------------------------------------------
  uint8_t PngInterlaced = 0;
  TColorBGR PngBackground{};
  uint8_t PngFilter = 0;       // writer only
  int32_t PngCompression = 5;  // writer only
  std::vector<std::string> PngTextKeys;
  std::vector<std::string> PngTextValues;

  // --- TGA ----------------------------------------------------------------
  int32_t TgaXOrigin = 0;
  int32_t TgaYOrigin = 0;
  uint8_t TgaRunLength = 1;
  std::string TgaImageName;
  std::string TgaAuthor;
  std::chrono::system_clock::time_point TgaDate = std::chrono::system_clock::now();
  std::string TgaJobName;
  TColorBGR TgaKeyColor{};
  double TgaAspectRatio = 1.0;
  double TgaGamma = 2.2;
  uint8_t TgaGrayscale = 0;

  // --- other metadata and options -----------------------------------------
  std::vector<std::string> PnmComments;
  int32_t VideoFrameCount = 0;
  int32_t VideoFrameDelay = 0;
  // PostScript and PDF output (writer only).
  int32_t PsPaperWidth = 595;
  int32_t PsPaperHeight = 842;
  std::string PsTitle = "No Title";
  uint8_t PsCompression = 0;
  int32_t PdfPaperWidth = 595;
  int32_t PdfPaperHeight = 842;
  std::string PdfTitle = "No Title";
  uint8_t PdfCompression = 0;
  // Keep palette, gray and CMYK pixels in those formats instead of pxRGB24.
  uint8_t NativePixelFormat = 0;
  // The directory of the last icon file read, and the sizes the icon writer produces.
  std::array<TIcoSize, 16> IcoSizes{{{64, 64}}};
  std::array<int32_t, 16> IcoBitCounts{8};
};

class TIOParamsVals : public TIOParamsFields {
 public:
  explicit TIOParamsVals(TPictureIO* owner = nullptr);
  ~TIOParamsVals();
  TIOParamsVals(const TIOParamsVals&) = delete;
  TIOParamsVals& operator=(const TIOParamsVals&) = delete;

  // Every field to its default; Width and Height from the owner's plain
  // bitmap when it has one; DpiX/DpiY through their setters so an attached
  // viewer hears 300; lists, EXIF, annotations and profiles emptied.
  void SetDefaults();
  // Before every load: the per-file lists, texts, EXIF values and the input
  // profile. Sizes, depth, resolution, options and the colour map stay.
  void ClearMetadata();
  // EXIF values to 0 / empty, the thumbnail freed, the first APP1 marker removed.
  void ClearExif();
  // Deep copy of every field (owner excepted); DPI reaches the viewer as with SetDpiX/Y.
  void Assign(const TIOParamsVals& source);

  TPictureIO* Owner() const { return owner_; }

  int32_t DpiX() const { return dpiX_; }
  int32_t DpiY() const { return dpiY_; }
  // Also set ExifX/YResolution and tell the owner's attached viewer.
  void SetDpiX(int32_t v);
  void SetDpiY(int32_t v);
  void SetDpiXFromReal(double v) { SetDpiX(static_cast<int32_t>(v)); }
  void SetDpiYFromReal(double v) { SetDpiY(static_cast<int32_t>(v)); }
  // ImageIndex group: ImageIndex, TiffImageIndex, DcxImageIndex, GifImageIndex, IcoImageIndex, CurImageIndex.
  void SetImageIndex(int32_t v);
  // Image count group: ImageCount, TiffImageCount, GifImageCount, VideoFrameCount.
  void SetImageCount(int32_t v);
  int32_t Orientation() const { return orientation_; }
  void SetOrientation(int32_t v);  // also ExifOrientation
  uint8_t ThumbnailOnly() const { return thumbnailOnly_; }
  void SetThumbnailOnly(uint8_t v);  // also TiffThumbnailOnly

  // Colour table of the last file read (null and 0 when there is none).
  const TColorBGR* ColorMap() const { return colorMap_.empty() ? nullptr : colorMap_.data(); }
  int32_t ColorMapCount() const { return static_cast<int32_t>(colorMap_.size()); }
  // Copies count entries (none for count <= 0).
  void SetColorMap(const TColorBGR* entries, int32_t count);
  void FreeColorMap() { colorMap_.clear(); }

  // Owned containers.
  TPxMarkerList& JpegMarkerList() { return *markers_; }
  const TPxMarkerList& JpegMarkerList() const { return *markers_; }
  TPxIPTCInfoList& IPTC() { return *iptc_; }
  const TPxIPTCInfoList& IPTC() const { return *iptc_; }
  // Created on first request.
  TPxImagingAnnot& Annotations();
  bool HasAnnotations() const { return annotations_ != nullptr; }
  TPxICC& InputProfile();
  TPxICC& OutputProfile();
  bool HasInputProfile() const { return inputProfile_ != nullptr; }
  bool HasOutputProfile() const { return outputProfile_ != nullptr; }
  TPxBitmap& ExifThumbnail();
  bool HasExifThumbnail() const { return exifThumbnail_ != nullptr; }

 private:
  TPictureIO* owner_ = nullptr;
  int32_t dpiX_ = 300;
  int32_t dpiY_ = 300;
  int32_t orientation_ = 1;
  uint8_t thumbnailOnly_ = 0;
  std::vector<TColorBGR> colorMap_;
  std::unique_ptr<TPxMarkerList> markers_;
  std::unique_ptr<TPxIPTCInfoList> iptc_;
  std::unique_ptr<TPxImagingAnnot> annotations_;
  std::unique_ptr<TPxICC> inputProfile_;
  std::unique_ptr<TPxICC> outputProfile_;
  std::unique_ptr<TPxBitmap> exifThumbnail_;
};

}  // namespace rv
