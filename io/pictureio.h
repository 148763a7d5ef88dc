// TPictureIO: turns picture files, streams and memory buffers into pixels. It
// owns its parameter record (ImageParams), fills one target TPxBitmap (its own,
// or the attached viewer's picture), picks the reader by name or by content
// through the format registry, and tells the attached viewer afterwards.
//
// Failure: a file that cannot be opened raises EFOpenError (platform/stream.h).
// Data a reader cannot read sets Aborted (AbortReason() says why) and leaves
// the previous picture in place (without its alpha channel, and with the
// per-file metadata cleared); no exception, no message.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "io/formats.h"
#include "io/ioparams.h"
#include "io/limits.h"
#include "io/progress.h"
#include "view/pxview.h"

namespace rv {

class TBitmap;
class TPxBitmap;
class TStream;

class TPictureIO {
 public:
  using TProgressEvent = std::function<void(TPictureIO& sender, int percent)>;
  using TNotifyEvent = std::function<void(TPictureIO& sender)>;

  TPictureIO();
  virtual ~TPictureIO();
  TPictureIO(const TPictureIO&) = delete;
  TPictureIO& operator=(const TPictureIO&) = delete;

  // --- attachment ---------------------------------------------------------
  TPxView* AttachedPictureView() const { return view_; }
  // Unregisters from the previous viewer; with a viewer the target becomes its
  // ImageBitmap (or an own bitmap imported from its DisplayBitmap when it has
  // none), without one a new own bitmap. Registers as change listener.
  void SetAttachedPictureView(TPxView* view);
  // Uses an external bitmap as target (not owned) in place of the viewer,
  // which is forgotten (empty or not, the bitmap replaces it). Null while a
  // viewer is attached changes nothing: the viewer stays attached. Null
  // without one leaves no target, and loads do nothing.
  void AttachBitmap(TPxBitmap* bitmap);
  TPxBitmap* TargetBitmap() const { return target_; }
  TBitmap* AttachedPlainBitmap() const { return plainBitmap_; }
  TChangeListenerHandle ViewNotifyIndex() const { return viewNotifyIndex_; }

  TIOParamsVals& ImageParams() { return *params_; }

  // The viewer's background when one is attached, else the own colour.
  uint32_t Background() const;
  // Without a viewer: the own colour; with one: forwarded only when ChangeBackground.
  void SetBackground(uint32_t color);
  bool ChangeBackground() const { return changeBackground_; }
  void SetChangeBackground(bool v) { changeBackground_ = v; }

  // --- options --------------------------------------------------------------
  bool StreamHeaders() const { return streamHeaders_; }
  void SetStreamHeaders(bool v) { streamHeaders_ = v; }
  bool AutoAdjustDPI() const { return autoAdjustDPI_; }
  void SetAutoAdjustDPI(bool v) { autoAdjustDPI_ = v; }
  bool FilteredAdjustDPI() const { return filteredAdjustDPI_; }
  void SetFilteredAdjustDPI(bool v) { filteredAdjustDPI_ = v; }
  bool NativePixelFormat() const { return params_->NativePixelFormat != 0; }
  void SetNativePixelFormat(bool v) { params_->NativePixelFormat = v ? 1 : 0; }
  // Size limits of this component's loads (lower than the hard maxima);
  // without them the process-wide limits apply.
  void SetImageLimits(const std::optional<TImageLimits>& limits);
  const std::optional<TImageLimits>& ImageLimits() const { return limits_; }

  // --- state and events ---------------------------------------------------
  bool Aborted() const { return aborted_; }
  void SetAborted(bool v) { aborted_ = v; }
  // Why the last load failed ("" when it did not, or gave no reason).
  const std::string& AbortReason() const { return progress_.AbortReason; }
  TProgressRecord& ProgressRecord() { return progress_; }
  // What readers call with a per-cent value; DoProgress by default.
  TPxProgressHook ProgressHook;
  TProgressEvent OnProgress;
  TNotifyEvent OnFinishWork;

  // --- loading by name or content ------------------------------------------
  // The general entry for tools: format from the content, else from the
  // name. Unlike LoadFileByContent, a file neither names sets Aborted with
  // the reason "unrecognised format" instead of doing nothing.
  void LoadFromFile(const std::string& fileName);
  // The same for a stream, from its current position.
  void LoadFromStream(TStream& stream);
  // Format from the extension alone; an unknown extension changes nothing.
  void LoadFileByExtension(const std::string& fileName);
  void LoadFileByContent(const std::string& fileName);
  void LoadFileAsFormat(const std::string& fileName, int32_t code);
  // From the stream's current position.
  void LoadStreamByContent(TStream& stream);
  void LoadStreamAsFormat(TStream& stream, int32_t code);
  // Over the caller's memory; code 0: by content.
  void LoadBuffer(const void* data, int64_t size, int32_t code);

  // --- per-format loads ---------------------------------------------------
  // GIF and TIFF return the number of images in the file, 0 when the load failed.
  int32_t LoadTiffFile(const std::string& n);
  int32_t LoadTiffStream(TStream& s);
  int32_t LoadGifFile(const std::string& n);
  int32_t LoadGifStream(TStream& s);
  void LoadJpegFile(const std::string& n);
  void LoadJpegStream(TStream& s) { LoadStreamWithReader(s, ffJPEG); }
  void LoadPcxFile(const std::string& n) { LoadFileWithReader(n, ffPCX); }
  void LoadPcxStream(TStream& s) { LoadStreamWithReader(s, ffPCX); }
  void LoadBmpFile(const std::string& n) { LoadFileWithReader(n, ffBMP); }
  void LoadBmpStream(TStream& s) { LoadStreamWithReader(s, ffBMP); }
  void LoadIcoFile(const std::string& n) { LoadFileWithReader(n, ffICO); }
  void LoadIcoStream(TStream& s) { LoadStreamWithReader(s, ffICO); }
  void LoadCurFile(const std::string& n) { LoadFileWithReader(n, ffCUR); }
  void LoadCurStream(TStream& s) { LoadStreamWithReader(s, ffCUR); }
  void LoadPngFile(const std::string& n);
  void LoadPngStream(TStream& s);
  void LoadMetafileFile(const std::string& n) { LoadFileWithReader(n, ffWMF); }
  void LoadTgaFile(const std::string& n) { LoadFileWithReader(n, ffTGA); }
  void LoadTgaStream(TStream& s) { LoadStreamWithReader(s, ffTGA); }
  void LoadPnmFile(const std::string& n) { LoadFileWithReader(n, ffPNM); }
  void LoadPnmStream(TStream& s) { LoadStreamWithReader(s, ffPNM); }
  void LoadJp2File(const std::string& n) { LoadFileWithReader(n, ffJP2); }
  void LoadJp2Stream(TStream& s) { LoadStreamWithReader(s, ffJP2); }
  void LoadJ2kFile(const std::string& n) { LoadFileWithReader(n, ffJ2K); }
  void LoadJ2kStream(TStream& s) { LoadStreamWithReader(s, ffJ2K); }
  void LoadWbmpFile(const std::string& n) { LoadFileWithReader(n, ffWBMP); }
  void LoadWbmpStream(TStream& s) { LoadStreamWithReader(s, ffWBMP); }
  void LoadDcxFile(const std::string& n) { LoadFileWithReader(n, ffDCX); }
  void LoadDcxStream(TStream& s) { LoadStreamWithReader(s, ffDCX); }
  void LoadRawFile(const std::string& n) { LoadFileWithReader(n, ffRAW); }
  void LoadRawStream(TStream& s) { LoadStreamWithReader(s, ffRAW); }

  // --- parameters only (ImageParams filled, target untouched) --------------
  // Failure shows as ImageParams().FileType == 0.
  void ReadFileParams(const std::string& fileName);
  void ReadFileParamsAsFormat(const std::string& fileName, int32_t code);
  void ReadStreamParams(TStream& stream);
  void ReadStreamParamsAsFormat(TStream& stream, int32_t code);

  // --- notification ---------------------------------------------------------
  // Tells the attached viewer that the picture changed (UpdateView, then
  // NotifyImageChange); without a viewer marks the plain bitmap changed.
  void UpdateAttachedView();
  virtual void DoProgress(void* sender, int percent);
  // ProgressHook(100), then OnFinishWork.
  virtual void DoFinishWork();

  // The 12-byte stream header in front of JPEG, TIFF and PCX data: 8 bytes of
  // signature text ("JFIF", "TIFF", "PCX2") padded with zeros, then the
  // little-endian int32 length of the data that follows.
  static void WriteStreamHeader(TStream& stream, const char* signature, int32_t dataLength);

 private:
  // The common load procedure around the registry reader of code. fileJpeg:
  // a JPEG file load, which does not look for a stream header.
  void LoadStream(TStream& stream, int32_t code, bool fileJpeg);
  void LoadStreamWithReader(TStream& stream, int32_t code);
  void LoadFileWithReader(const std::string& fileName, int32_t code);
  // The per-format file load of a built-in code.
  void LoadFileInternal(const std::string& fileName, int32_t code);
  static bool HasFileLoad(int32_t code);
  void FailUnrecognised(int32_t code);
  void LoadStreamDispatch(TStream& stream, int32_t code, bool byContent);
  // Formats registered at run time (and built-ins without reader by name).
  void LoadFileWithRecord(const std::string& fileName, const TFileFormatInfo& info);
  void LoadRuntimeFormat(TStream& stream, const TFileFormatInfo& info, bool swallowExceptions);
  // False when there is no target to load into.
  bool PrepareTarget();
  void RunReader(const TFileFormatInfo* info, int32_t code, TStream& stream, bool paramsOnly);
  void ResetProgress();
  // Steps after the reader: default DPI, equalisation, the viewer's DPI,
  // FileName/FileType, UpdateAttachedView.
  void FinishLoad(int32_t code, bool adjustDpi, bool defaultDpi);
  void EqualiseDpi();
  void ResampleTarget(int width, int height);
  void ReadParamsWithReader(TStream& stream, int32_t code);
  void ViewChanged(bool destroying);
  void DetachFromView();
  void UseOwnTarget();

  std::unique_ptr<TIOParamsVals> params_;
  std::unique_ptr<TPxBitmap> ownTarget_;
  TPxBitmap* target_ = nullptr;
  TBitmap* plainBitmap_ = nullptr;
  TPxView* view_ = nullptr;
  TChangeListenerHandle viewNotifyIndex_ = -1;
  uint32_t backgroundColor_ = 0;
  bool changeBackground_ = false;
  bool streamHeaders_ = false;
  bool autoAdjustDPI_ = false;
  bool filteredAdjustDPI_ = false;
  bool aborted_ = false;
  std::optional<TImageLimits> limits_;
  TProgressRecord progress_;
};

}  // namespace rv
