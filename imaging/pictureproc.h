// TPictureProc: the processing component. It transforms one picture in place
// (rotation, resampling) with undo and redo lists of captioned picture copies,
// and reports progress and the end of every operation through its events.
//
// Target: its own TPxBitmap, or, once attached, the picture of a TPxView (the
// view's ImageBitmap, or its DisplayBitmap adopted as storage). After each
// operation the attached view is laid out and repainted (UpdateView) and told
// of the change (NotifyImageChange).
//
// Ownership: the component owns its own bitmap, the undo and redo copies and
// their temporary files; an attached view and its picture are only used (the
// component unregisters from the view when detached or destroyed, and lets go
// of both when the view goes away first).
// Failure: an operation whose result cannot be held raises std::bad_alloc
// before anything changes. If an operation fails later, the picture is put
// back from the copy taken for undo, the undo list is left as it was, and the
// exception propagates.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imaging/pxbitmap.h"
#include "imaging/pxresample.h"
#include "imaging/pxrotate.h"

namespace rv {

// The viewer layer sits above this one; the component only holds a pointer.
class TPxView;

// A set of pixel formats, one bit per TPxBitmapFormat value; empty = every format.
using TPxFormatSet = uint16_t;
inline constexpr TPxFormatSet FormatSetOf(TPxBitmapFormat f) {
  return TPxFormatSet(1u << f);
}

// Background value standing for "the Background property".
inline constexpr int64_t kUseBackgroundProperty = -1;

// A 32-bit platform colour value as TColorBGR; system colours (high byte
// 0xFF) are resolved to the platform's default scheme first.
TColorBGR ResolveColorBGR(uint32_t color);

class TPictureProc {
 public:
  using TProgressEvent = std::function<void(TPictureProc& sender, int percent)>;
  using TNotifyEvent = std::function<void(TPictureProc& sender)>;

  TPictureProc();
  virtual ~TPictureProc();
  TPictureProc(const TPictureProc&) = delete;
  TPictureProc& operator=(const TPictureProc&) = delete;

  // --- target ---------------------------------------------------------------
  TPxView* AttachedPictureView() const { return view_; }
  // nullptr detaches and gives the component a new empty bitmap of its own.
  void SetAttachedPictureView(TPxView* view);
  // The picture operations work on; never null.
  TPxBitmap* Bitmap() const { return bitmap_; }

  // --- properties ------------------------------------------------------------
  bool AutoUndo() const { return autoUndo_; }
  void SetAutoUndo(bool v) { autoUndo_ = v; }
  int UndoLimit() const { return undoLimit_; }
  void SetUndoLimit(int v) { undoLimit_ = v < 1 ? 1 : v; }
  // The attached view's background when attached, else the component's own.
  uint32_t Background() const;
  void SetBackground(uint32_t color);
  bool AutoConvertFormat() const { return autoConvertFormat_; }
  void SetAutoConvertFormat(bool v) { autoConvertFormat_ = v; }
  // Where undo and redo copies live: pxTempFile (the default; a copy goes to
  // memory only when no temporary file can be made) or pxInMemory.
  TPxBitmapStorage UndoLocation() const { return undoLocation_; }
  void SetUndoLocation(TPxBitmapStorage location) { undoLocation_ = location == pxInMemory ? pxInMemory : pxTempFile; }

  // --- events ---------------------------------------------------------------------
  TProgressEvent OnProgress;
  TNotifyEvent OnFinishWork;

  // --- format -----------------------------------------------------------------------
  // True when the picture is in an accepted format (empty set: any), or has
  // been converted to one (AutoConvertFormat: the first accepted format of a
  // preference list for the current one, else the highest accepted).
  bool CheckFormat(TPxFormatSet accepted);

  // --- undo and redo ----------------------------------------------------------------
  // Kind 1 pushes a copy of the picture. Kind 2 (a snapshot of the view's
  // whole state) is not available: TPxView offers no state stream, so it
  // pushes nothing. Nothing either for a picture narrower or lower than 2.
  virtual void PushUndo(int kind = 1);
  void PushUndoCaptioned(const std::string& caption, int kind = 1);
  // Index 0 = the newest entry; it stays in the list. Out of range: nothing.
  virtual void RestoreUndo() { RestoreUndo(0); }
  virtual void RestoreUndo(int index);
  virtual void PushRedo(int kind = 1);
  void PushRedoCaptioned(const std::string& caption, int kind = 1);
  virtual void DropLastRedo();
  virtual void RestoreRedo() { RestoreRedo(0); }
  virtual void RestoreRedo(int index);
  void ClearUndoList() { undo_.clear(); }
  void ClearRedoList() { redo_.clear(); }
  int UndoCount() const { return int(undo_.size()); }
  int RedoCount() const { return int(redo_.size()); }
  // Index 0 = the oldest entry; empty for an index out of range.
  std::string UndoCaption(int index) const;
  std::string RedoCaption(int index) const;
  // The stored copies (index 0 = oldest), or nullptr.
  TPxBitmap* UndoBitmap(int index) const;
  TPxBitmap* RedoBitmap(int index) const;

  // --- notification ----------------------------------------------------------------------
  void UpdateAttached();
  // OnProgress(100), then OnFinishWork.
  virtual void FinishWork();

  // --- operations ---------------------------------------------------------------------------
  // Turns the picture by `angle` degrees (positive = counter-clockwise) with
  // the alpha channel; new areas get `background` (a platform colour value,
  // or kUseBackgroundProperty). Caption "Rotate <angle>". 0 does nothing.
  void Rotate(double angle, bool antialias = true, uint8_t antialiasMode = 0,
              int64_t background = kUseBackgroundProperty);
  // Resamples to newWidth x newHeight: -1 keeps the aspect ratio from the
  // other side, 0 keeps the current size; both negative changes nothing (the
  // events still fire). Caption "Resample <w>,<h>".
  void Resample(int newWidth, int newHeight, TResampleFilter filter);

 private:
  struct TEntry {
    std::unique_ptr<TPxBitmap> Picture;
    std::string Caption;
  };
  using TEntryList = std::vector<TEntry>;

  void ReleaseView();
  void FetchViewPicture();
  void OwnNewBitmap();
  bool CanCopy();
  // A copy of the picture in the undo store, or nullptr when none can be taken.
  std::unique_ptr<TPxBitmap> TakeCopy();
  void Append(TEntryList& list, std::unique_ptr<TPxBitmap> copy, const std::string& caption);
  void Restore(TEntryList& list, int index);
  // Runs `operation` with an undo copy captioned `caption` (when AutoUndo):
  // the copy joins the undo list only if the operation succeeds, and puts the
  // picture back if it fails.
  template <typename Fn>
  void Transact(const std::string& caption, Fn&& operation);
  TProgressHandler ProgressHandler();

  TPxView* view_ = nullptr;
  int32_t listener_ = -1;  // the view's handle for our change listener
  TPxBitmap* bitmap_ = nullptr;
  std::unique_ptr<TPxBitmap> ownBitmap_;
  // True when the own bitmap adopts the view's DisplayBitmap.
  bool adoptsDisplay_ = false;
  bool autoUndo_ = true;
  int undoLimit_ = 1;
  uint32_t background_ = 0;
  bool autoConvertFormat_ = true;
  TPxBitmapStorage undoLocation_ = pxTempFile;
  TEntryList undo_;
  TEntryList redo_;
};

}  // namespace rv
