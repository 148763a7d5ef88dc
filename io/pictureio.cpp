#include "io/pictureio.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxmask.h"
#include "imaging/pxresample.h"
#include "imaging/pxstreams.h"
#include "io/readcontext.h"
#include "platform/stream.h"
#include "platform/tbitmap.h"

namespace rv {

namespace {

// Reads the 12-byte stream header at the current position. On success returns
// the signature text (cut at its first zero) and the data length.
bool ReadStreamHeader(TStream& stream, std::string& signature, int32_t& length) {
  uint8_t h[12];
  if (stream.Read(h, 12) != 12) return false;
  signature.assign(reinterpret_cast<const char*>(h), strnlen(reinterpret_cast<const char*>(h), 8));
  length = static_cast<int32_t>(h[8] | (h[9] << 8) | (h[10] << 16) | (uint32_t(h[11]) << 24));
  return true;
}

std::string FormatLabel(int32_t code) {
  const TFileFormatInfo* info = FindFormatByType(code);
  return info ? info->Description : "format " + std::to_string(code);
}

}  // namespace

TPictureIO::TPictureIO() {
  ownTarget_ = std::make_unique<TPxBitmap>();
  target_ = ownTarget_.get();
  ProgressHook = [this](void* sender, int percent) { DoProgress(sender, percent); };
  progress_.Aborted = &aborted_;
  // Last: its defaults look at the (still empty) attachments.
  params_ = std::make_unique<TIOParamsVals>(this);
}

TPictureIO::~TPictureIO() {
  if (view_) view_->UnregisterChangeListener(viewNotifyIndex_);
}

// ------------------------------------------------------------ attachment

void TPictureIO::UseOwnTarget() {
  ownTarget_ = std::make_unique<TPxBitmap>();
  target_ = ownTarget_.get();
}

void TPictureIO::DetachFromView() {
  // Without its destruction notice the view may go at any time: never keep
  // pointing at it, nor at its picture, once the notice is given up.
  if (view_) view_->UnregisterChangeListener(viewNotifyIndex_);
  viewNotifyIndex_ = -1;
  view_ = nullptr;
  plainBitmap_ = nullptr;
}

void TPictureIO::SetAttachedPictureView(TPxView* view) {
  DetachFromView();
  view_ = view;
  if (!view_) {
    UseOwnTarget();
    return;
  }
  ownTarget_.reset();
  target_ = nullptr;
  ViewChanged(false);
  viewNotifyIndex_ =
      view_->RegisterChangeListener([this](void*, TPxView&, bool destroying) { ViewChanged(destroying); }, this);
}

void TPictureIO::ViewChanged(bool destroying) {
  if (destroying) {
    view_ = nullptr;
    viewNotifyIndex_ = -1;
    plainBitmap_ = nullptr;
    // The viewer's picture goes with it: never keep pointing at it.
    if (!ownTarget_) UseOwnTarget();
    return;
  }
  plainBitmap_ = view_->DisplayBitmap();
  if (TPxBitmap* picture = view_->ImageBitmap()) {
    ownTarget_.reset();
    target_ = picture;
    plainBitmap_ = nullptr;
  } else {
    if (!ownTarget_) ownTarget_ = std::make_unique<TPxBitmap>();
    target_ = ownTarget_.get();
    if (plainBitmap_) target_->ImportTBitmap(*plainBitmap_);
  }
  if (params_) {
    params_->SetDpiX(view_->ImageDpiX());
    params_->SetDpiY(view_->ImageDpiY());
  }
}

void TPictureIO::AttachBitmap(TPxBitmap* bitmap) {
  // Null with a viewer attached: the viewer stays, still registered.
  if (!bitmap && view_) return;
  DetachFromView();
  ownTarget_.reset();
  target_ = bitmap;
}

uint32_t TPictureIO::Background() const {
  return view_ ? view_->Background() : backgroundColor_;
}

void TPictureIO::SetBackground(uint32_t color) {
  if (!view_) {
    backgroundColor_ = color;
  } else if (changeBackground_) {
    view_->SetBackground(color);
  }
}

void TPictureIO::SetImageLimits(const std::optional<TImageLimits>& limits) {
  if (limits) {
    limits_ = limits->Clamped();
  } else {
    limits_.reset();
  }
}

// ------------------------------------------------------------ the common procedure

void TPictureIO::ResetProgress() {
  progress_.Callback = ProgressHook;
  progress_.Sender = this;
  progress_.Counter = 0;
  progress_.Scale = 0;
  progress_.Aborted = &aborted_;
  progress_.Limits = limits_ ? &*limits_ : nullptr;
  progress_.AbortReason.clear();
}

bool TPictureIO::PrepareTarget() {
  if (!target_) return false;
  if (plainBitmap_) target_->ImportTBitmap(*plainBitmap_);
  return true;
}

void TPictureIO::RunReader(const TFileFormatInfo* info, int32_t code, TStream& stream, bool paramsOnly) {
  if (code == ffNone) {
    progress_.Fail("unrecognised format");
    return;
  }
  if (!info || !info->ReadFunction) {
    progress_.Fail(FormatLabel(code) + ": no reader");
    return;
  }
  std::unique_ptr<TPxMask> mask;
  auto read = [&](TPxBitmap& bitmap) {
    TReadContext ctx{.Stream = stream,
                     .Bitmap = bitmap,
                     .Params = *params_,
                     .Progress = progress_,
                     .ParamsOnly = paramsOnly,
                     .MaskOut = &mask};
    info->ReadFunction(ctx);
  };
  if (target_) {
    read(*target_);
  } else {
    TPxBitmap scratch;  // parameter reads need no target
    read(scratch);
  }
  if (mask && !paramsOnly && target_) target_->AlphaChannel()->ImportMask(mask.get());
}

void TPictureIO::FinishLoad(int32_t code, bool adjustDpi, bool defaultDpi) {
  if (defaultDpi) {
    if (params_->DpiX() < 2) params_->SetDpiX(300);
    if (params_->DpiY() < 2) params_->SetDpiY(300);
  }
  if (adjustDpi && autoAdjustDPI_) EqualiseDpi();
  if (view_) view_->SetImageDpi(params_->DpiX(), params_->DpiY());
  params_->FileName.clear();
  params_->FileType = code;
  UpdateAttachedView();
}

void TPictureIO::LoadStreamWithReader(TStream& stream, int32_t code) {
  LoadStream(stream, code, false);
}

void TPictureIO::LoadStream(TStream& stream, int32_t code, bool fileJpeg) {
  aborted_ = false;
  ResetProgress();
  if (!PrepareTarget()) {
    DoFinishWork();
    return;
  }
  params_->ClearMetadata();
  target_->RemoveAlphaChannel();
  const TFileFormatInfo* info = FindFormatByType(code);
  const bool internal = !info || info->InternalFormat;
  try {
    const int64_t start = stream.Position();
    int64_t end = -1;
    std::string signature;
    int32_t length = 0;
    if (code == ffJPEG && !fileJpeg) {
      // JPEG data may always carry the header; without it the data starts here.
      if (ReadStreamHeader(stream, signature, length) && signature == "JFIF") {
        end = start + 12 + length;
      } else {
        stream.Seek(start, soBeginning);
      }
    } else if ((code == ffTIFF || code == ffPCX) && streamHeaders_) {
      const bool read = ReadStreamHeader(stream, signature, length);
      const bool ok = read && (code == ffTIFF ? signature == "TIFF" : signature.compare(0, 3, "PCX") == 0);
      if (!ok) {
        progress_.Fail(FormatLabel(code) + ": stream header missing at offset " + std::to_string(start));
        DoFinishWork();
        return;
      }
      if (code == ffPCX && signature != "PCX2") {
        // The older 4-byte header: the data runs to the end of the stream.
        stream.Seek(start + 4, soBeginning);
      } else {
        end = start + 12 + length;
      }
    }
    RunReader(info, code, stream, false);
    if (end >= 0) stream.Seek(end, soBeginning);
  } catch (...) {
    DoFinishWork();
    throw;
  }
  FinishLoad(code, code != ffWBMP, internal);
  DoFinishWork();
}

void TPictureIO::LoadFileWithReader(const std::string& fileName, int32_t code) {
  std::unique_ptr<TFileStream> file;
  try {
    file = std::make_unique<TFileStream>(fileName, fmOpenRead);
  } catch (...) {
    aborted_ = true;
    DoFinishWork();
    throw;
  }
  LoadStream(*file, code, code == ffJPEG);
  params_->FileName = fileName;
}

int32_t TPictureIO::LoadTiffFile(const std::string& n) {
  LoadFileWithReader(n, ffTIFF);
  return aborted_ ? 0 : params_->TiffImageCount;
}

int32_t TPictureIO::LoadTiffStream(TStream& s) {
  LoadStreamWithReader(s, ffTIFF);
  return aborted_ ? 0 : params_->TiffImageCount;
}

int32_t TPictureIO::LoadGifFile(const std::string& n) {
  LoadFileWithReader(n, ffGIF);
  // GIF: the background is the transparent colour, else the screen's.
  SetBackground(BGRToColor(params_->GifTransparent ? params_->GifTransparentColor : params_->GifBackground));
  // The count in the record may be a previous file's.
  return aborted_ ? 0 : params_->GifImageCount;
}

int32_t TPictureIO::LoadGifStream(TStream& s) {
  LoadStreamWithReader(s, ffGIF);
  SetBackground(BGRToColor(params_->GifTransparent ? params_->GifTransparentColor : params_->GifBackground));
  return aborted_ ? 0 : params_->GifImageCount;
}

void TPictureIO::LoadJpegFile(const std::string& n) {
  // Metadata cleared first so an unopenable file leaves none behind.
  params_->ClearMetadata();
  LoadFileWithReader(n, ffJPEG);
}

void TPictureIO::LoadPngFile(const std::string& n) {
  params_->ClearMetadata();
  params_->PngBackground = ColorToBGR(Background());
  LoadFileWithReader(n, ffPNG);
  SetBackground(BGRToColor(params_->PngBackground));
}

void TPictureIO::LoadPngStream(TStream& s) {
  LoadStreamWithReader(s, ffPNG);
  SetBackground(BGRToColor(params_->PngBackground));
}

// ------------------------------------------------------------ run-time formats

void TPictureIO::LoadRuntimeFormat(TStream& stream, const TFileFormatInfo& info, bool swallow) {
  aborted_ = false;
  ResetProgress();
  if (!PrepareTarget()) {
    DoFinishWork();
    return;
  }
  params_->FileType = info.FileType;
  try {
    RunReader(&info, info.FileType, stream, false);
  } catch (...) {
    if (!swallow) {
      DoFinishWork();
      throw;
    }
    progress_.Fail(info.Description + ": the reader failed");
  }
  if (!aborted_) {
    if (autoAdjustDPI_) EqualiseDpi();
    if (view_) view_->SetImageDpi(params_->DpiX(), params_->DpiY());
  }
  UpdateAttachedView();
  DoFinishWork();
}

void TPictureIO::LoadFileWithRecord(const std::string& fileName, const TFileFormatInfo& info) {
  params_->ClearMetadata();
  params_->FileName.clear();
  params_->FileType = 0;
  if (!info.ReadFunction) {
    aborted_ = true;
    ResetProgress();
    progress_.Fail(info.Description + ": no reader");
    DoFinishWork();
    return;
  }
  aborted_ = true;
  std::unique_ptr<TFileStream> file;
  try {
    file = std::make_unique<TFileStream>(fileName, fmOpenRead);
  } catch (...) {
    DoFinishWork();
    throw;
  }
  params_->FileName = fileName;
  LoadRuntimeFormat(*file, info, true);
}

// ------------------------------------------------------------ dispatch

void TPictureIO::LoadFileInternal(const std::string& fileName, int32_t code) {
  switch (code) {
    case ffJPEG:
      LoadJpegFile(fileName);
      break;
    case ffPNG:
      LoadPngFile(fileName);
      break;
    case ffTIFF:
    case ffGIF:
    case ffPCX:
    case ffBMP:
    case ffICO:
    case ffCUR:
    case ffWMF:
    case ffEMF:
    case ffTGA:
    case ffPNM:
    case ffJP2:
    case ffJ2K:
    case ffWBMP:
    case ffDCX:
    case ffRAW:
      LoadFileWithReader(fileName, code);
      break;
    default:
      break;
  }
}

bool TPictureIO::HasFileLoad(int32_t code) {
  return code != ffPostScript && code != ffPDF;
}

void TPictureIO::LoadFileByExtension(const std::string& fileName) {
  if (!target_) return;
  if (fileName.empty()) {
    aborted_ = true;
    ResetProgress();
    progress_.Fail("no file name");
    DoFinishWork();
    return;
  }
  std::string head = fileName.substr(0, 7);
  for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string ext = ExtractFileExtLower(fileName);
  if (head == "http://" || ext == ".avi") {
    // Downloads and video frames are not part of this system.
    aborted_ = true;
    ResetProgress();
    progress_.Fail(head == "http://" ? "URL download is not supported" : "AVI video is not supported");
    DoFinishWork();
    return;
  }
  const TFileFormatInfo* info = FindFormatByExtension(ext);
  if (!info) return;
  if (info->InternalFormat && HasFileLoad(info->FileType)) {
    LoadFileInternal(fileName, info->FileType);
    return;
  }
  const TFileFormatInfo copy = *info;  // the reader may change the registry
  LoadFileWithRecord(fileName, copy);
}

void TPictureIO::FailUnrecognised(int32_t code) {
  aborted_ = true;
  ResetProgress();
  progress_.Fail(code == ffAVI ? "AVI video is not supported" : "unrecognised format");
  DoFinishWork();
}

void TPictureIO::LoadFromFile(const std::string& fileName) {
  if (!target_) return;
  int32_t code = DetectFileFormat(fileName, false);
  if (!FindFormatByType(code)) {
    const int32_t byName = FormatCodeOfExtension(ExtractFileExtLower(fileName));
    if (byName != ffNone) code = byName;
  }
  if (FindFormatByType(code)) {
    LoadFileAsFormat(fileName, code);
    return;
  }
  try {
    TFileStream probe(fileName, fmOpenRead);  // a file that cannot be opened raises, as in every load
  } catch (...) {
    aborted_ = true;
    DoFinishWork();
    throw;
  }
  FailUnrecognised(code);
}

void TPictureIO::LoadFromStream(TStream& stream) {
  if (!target_) return;
  const int64_t start = stream.Position();
  const int32_t code = DetectStreamFormat(stream);
  stream.Seek(start, soBeginning);
  const TFileFormatInfo* info = FindFormatByType(code);
  if (!info) {
    FailUnrecognised(code);
    return;
  }
  // Metafiles have no stream load; run the common procedure so the caller
  // learns that they cannot be read.
  if (info->InternalFormat && (code == ffWMF || code == ffEMF)) {
    LoadStreamWithReader(stream, code);
  } else {
    LoadStreamDispatch(stream, code, false);
  }
}

void TPictureIO::LoadFileByContent(const std::string& fileName) {
  const int32_t code = DetectFileFormat(fileName, false);
  if (code != ffNone) {
    LoadFileAsFormat(fileName, code);
  } else {
    LoadFileByExtension(fileName);
  }
}

void TPictureIO::LoadFileAsFormat(const std::string& fileName, int32_t code) {
  const TFileFormatInfo* info = FindFormatByType(code);
  if (!info) return;
  if (info->InternalFormat) {
    if (HasFileLoad(code)) {
      LoadFileInternal(fileName, code);
    } else {
      LoadFileByExtension(fileName);
    }
    return;
  }
  const TFileFormatInfo copy = *info;
  LoadFileWithRecord(fileName, copy);
}

void TPictureIO::LoadStreamDispatch(TStream& stream, int32_t code, bool byContent) {
  const TFileFormatInfo* info = FindFormatByType(code);
  if (!info) return;
  if (!info->InternalFormat) {
    const TFileFormatInfo copy = *info;
    LoadRuntimeFormat(stream, copy, false);
    return;
  }
  switch (code) {
    case ffPNG:
      LoadPngStream(stream);
      break;
    case ffWBMP:
      // Content detection never names WBMP; a caller that does gets its reader.
      if (!byContent) LoadStreamWithReader(stream, code);
      break;
    case ffTIFF:
    case ffGIF:
    case ffJPEG:
    case ffPCX:
    case ffBMP:
    case ffICO:
    case ffCUR:
    case ffTGA:
    case ffPNM:
    case ffJP2:
    case ffJ2K:
    case ffDCX:
    case ffRAW:
      LoadStreamWithReader(stream, code);
      break;
    default:
      break;
  }
}

void TPictureIO::LoadStreamByContent(TStream& stream) {
  const int64_t start = stream.Position();
  const int32_t code = DetectStreamFormat(stream);
  stream.Seek(start, soBeginning);
  LoadStreamDispatch(stream, code, true);
}

void TPictureIO::LoadStreamAsFormat(TStream& stream, int32_t code) {
  LoadStreamDispatch(stream, code, false);
}

void TPictureIO::LoadBuffer(const void* data, int64_t size, int32_t code) {
  TPxMemStream stream(data, size);
  if (code == ffNone) {
    LoadStreamByContent(stream);
  } else {
    LoadStreamAsFormat(stream, code);
  }
}

// ------------------------------------------------------------ parameters only

void TPictureIO::ReadParamsWithReader(TStream& stream, int32_t code) {
  aborted_ = false;
  ResetProgress();
  params_->FileType = code;
  params_->ClearMetadata();
  const TFileFormatInfo* info = FindFormatByType(code);
  try {
    RunReader(info, code, stream, true);
  } catch (...) {
    progress_.Fail(FormatLabel(code) + ": the reader failed");
  }
  if (aborted_) params_->FileType = ffNone;
}

void TPictureIO::ReadFileParams(const std::string& fileName) {
  ReadFileParamsAsFormat(fileName, DetectFileFormat(fileName, true));
}

void TPictureIO::ReadFileParamsAsFormat(const std::string& fileName, int32_t code) {
  try {
    TFileStream file(fileName, fmOpenRead);
    ReadParamsWithReader(file, code);
  } catch (const std::exception& e) {
    aborted_ = true;
    progress_.Fail(e.what());
    params_->FileType = ffNone;
  }
  params_->FileName = fileName;
  DoFinishWork();
}

void TPictureIO::ReadStreamParams(TStream& stream) {
  ReadStreamParamsAsFormat(stream, DetectStreamFormat(stream));
}

void TPictureIO::ReadStreamParamsAsFormat(TStream& stream, int32_t code) {
  ReadParamsWithReader(stream, code);
  params_->FileName.clear();
  DoFinishWork();
}

// ------------------------------------------------------------ notification

void TPictureIO::UpdateAttachedView() {
  if (plainBitmap_ && target_) target_->RemoveAlphaChannel();
  if (view_) {
    view_->UpdateView();
    view_->NotifyImageChange();
  } else if (plainBitmap_) {
    plainBitmap_->Changed();
  }
}

void TPictureIO::DoProgress(void*, int percent) {
  if (OnProgress) OnProgress(*this, percent);
}

void TPictureIO::DoFinishWork() {
  if (ProgressHook) ProgressHook(this, 100);
  if (OnFinishWork) OnFinishWork(*this);
}

void TPictureIO::WriteStreamHeader(TStream& stream, const char* signature, int32_t dataLength) {
  uint8_t h[12] = {};
  std::memcpy(h, signature, strnlen(signature, 8));
  const uint32_t n = static_cast<uint32_t>(dataLength);
  for (int i = 0; i < 4; ++i) h[8 + i] = static_cast<uint8_t>(n >> (8 * i));
  stream.WriteBuffer(h, 12);
}

// ------------------------------------------------------------ DPI equalisation

void TPictureIO::EqualiseDpi() {
  const int32_t dx = params_->DpiX(), dy = params_->DpiY();
  if (dx == dy || dx <= 0 || dy <= 0 || !target_ || target_->IsEmpty()) return;
  if (params_->Height < params_->Width) {
    params_->Height = static_cast<int32_t>(static_cast<double>(params_->Height) / dy * dx);
    params_->SetDpiY(dx);
  } else {
    params_->Width = static_cast<int32_t>(static_cast<double>(params_->Width) / dx * dy);
    params_->SetDpiX(dy);
  }
  ResampleTarget(params_->Width, params_->Height);
}

}  // namespace rv

namespace rv {

void TPictureIO::ResampleTarget(int width, int height) {
  if (width <= 0 || height <= 0) return;
  // The alpha channel goes aside first: reallocating the picture drops it.
  std::unique_ptr<TPxBitmap> alpha;
  if (target_->HasAlphaChannel()) {
    alpha = std::make_unique<TPxBitmap>();
    alpha->AllocatePixels(width, height, pxGray8);
    FilteredResampleAlpha(*target_->AlphaChannel(), *alpha, rfNone);
  }
  if (filteredAdjustDPI_) target_->ChangeFormat(pxRGB24);
  TPxBitmap resized;
  resized.AllocatePixels(width, height, target_->Format());
  FilteredResample(*target_, resized, filteredAdjustDPI_ ? rfFastLinear : rfNone);
  target_->AssignPixels(resized);
  if (alpha) target_->AlphaChannel()->AssignPixels(*alpha);
}

}  // namespace rv
