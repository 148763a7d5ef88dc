#include "imaging/pictureproc.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <new>
#include <utility>

#include "view/pxview.h"

namespace rv {

namespace {

// Formats tried, in order, when an operation does not accept the current one.
const std::vector<TPxBitmapFormat>& ConversionPreferences(TPxBitmapFormat f) {
  static const std::vector<TPxBitmapFormat> prefs[] = {
      {},                                                          // pxNoFormat
      {pxGray8, pxGray16, px32f, pxRGB24},                         // pxMono1
      {pxRGB24, pxCMYK, pxRGB48, pxCIELab},                        // pxPalette8
      {pxGray16, px32f, pxRGB24, pxCMYK, pxRGB48},                 // pxGray8
      {px32f, pxGray8, pxRGB48, pxRGB24, pxCMYK},                  // pxGray16
      {pxCMYK, pxCIELab, pxRGB48, pxPalette8, pxGray16, pxGray8},  // pxRGB24
      {pxGray16, pxGray8, pxRGB24, pxRGB48, pxCIELab},             // px32f
      {pxRGB24, pxRGB48, pxCIELab, pxGray8},                       // pxCMYK
      {pxRGB24, pxCMYK, pxCIELab, pxGray16},                       // pxRGB48
      {pxRGB24, pxCMYK, pxRGB48, pxGray8},                         // pxCIELab
  };
  return prefs[f <= pxCIELab ? f : 0];
}

// The shortest decimal text that reads back as the same double ("-90", "30.5").
std::string AngleText(double angle) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, angle);
  return std::string(buf, r.ptr);
}

// Puts result (pixels, palette, alpha channel) in place of the picture. A
// picture held in a platform bitmap keeps that bitmap, which its viewer draws
// from; any other takes over the result's storage without a copy.
void ReplacePicture(TPxBitmap& picture, TPxBitmap& result) {
  if (picture.Location() == pxTBitmap) {
    picture.AssignFrom(result);
  } else {
    result.SetIsAlphaChannel(picture.IsAlphaChannel());
    result.MoveStorageTo(picture);
  }
}

}  // namespace

TColorBGR ResolveColorBGR(uint32_t color) {
  if ((color & 0xFF000000u) == 0xFF000000u) {
    // System colours, by their index, in the platform's default scheme.
    switch (color & 0xFFu) {
      case 5:   // window
      case 14:  // highlighted text
      case 20:  // button highlight
        return MakeBGR(255, 255, 255);
      case 12:
        return MakeBGR(171, 171, 171);  // application workspace
      case 13:
        return MakeBGR(0, 120, 215);  // highlight
      case 15:
        return MakeBGR(240, 240, 240);  // button face
      case 16:
        return MakeBGR(160, 160, 160);  // button shadow
      case 17:
        return MakeBGR(109, 109, 109);  // gray text
      case 22:
        return MakeBGR(227, 227, 227);  // 3-D light
      case 21:
        return MakeBGR(105, 105, 105);  // 3-D dark shadow
      default:
        return MakeBGR(0, 0, 0);  // text, frames, desktop
    }
  }
  return ColorToBGR(color);
}

TPictureProc::TPictureProc() {
  OwnNewBitmap();
}

TPictureProc::~TPictureProc() {
  ReleaseView();
}

// ------------------------------------------------------------ target

void TPictureProc::OwnNewBitmap() {
  ownBitmap_ = std::make_unique<TPxBitmap>();
  bitmap_ = ownBitmap_.get();
  adoptsDisplay_ = false;
}

void TPictureProc::ReleaseView() {
  if (view_) view_->UnregisterChangeListener(listener_);
  view_ = nullptr;
  listener_ = -1;
}

void TPictureProc::FetchViewPicture() {
  if (TPxBitmap* image = view_->ImageBitmap()) {
    ownBitmap_.reset();
    bitmap_ = image;
    adoptsDisplay_ = false;
    return;
  }
  if (!ownBitmap_) ownBitmap_ = std::make_unique<TPxBitmap>();
  ownBitmap_->AdoptTBitmap(view_->DisplayBitmap(), true);
  bitmap_ = ownBitmap_.get();
  adoptsDisplay_ = true;
}

void TPictureProc::SetAttachedPictureView(TPxView* view) {
  if (view == view_) return;
  ReleaseView();
  if (!view) {
    OwnNewBitmap();
    return;
  }
  view_ = view;
  FetchViewPicture();
  listener_ = view->RegisterChangeListener(
      [this](void*, TPxView&, bool destroying) {
        if (!destroying) {
          FetchViewPicture();
          return;
        }
        // The view and its picture are going; the view removes our record.
        view_ = nullptr;
        listener_ = -1;
        OwnNewBitmap();
      },
      this);
}

uint32_t TPictureProc::Background() const {
  return view_ ? view_->Background() : background_;
}

void TPictureProc::SetBackground(uint32_t color) {
  if (view_) {
    view_->SetBackground(color);
  } else {
    background_ = color;
  }
}

// ------------------------------------------------------------ format

bool TPictureProc::CheckFormat(TPxFormatSet accepted) {
  if (!bitmap_) return false;
  // The view may have redrawn or resized its platform bitmap since.
  if (adoptsDisplay_ && view_) ownBitmap_->AdoptTBitmap(view_->DisplayBitmap(), false);
  const TPxBitmapFormat current = bitmap_->Format();
  if (accepted == 0 || (accepted & FormatSetOf(current))) return true;
  if (!autoConvertFormat_) return false;
  for (TPxBitmapFormat candidate : ConversionPreferences(current)) {
    if (accepted & FormatSetOf(candidate)) {
      bitmap_->ChangeFormat(candidate);
      return true;
    }
  }
  // pxNoFormat is never a target: converting to it would drop the picture.
  for (int f = pxCIELab; f > pxNoFormat; --f) {
    if (accepted & FormatSetOf(TPxBitmapFormat(f))) {
      bitmap_->ChangeFormat(TPxBitmapFormat(f));
      return true;
    }
  }
  return false;
}

// ------------------------------------------------------------ undo and redo

bool TPictureProc::CanCopy() {
  return CheckFormat(0) && bitmap_->Width() >= 2 && bitmap_->Height() >= 2;
}

std::unique_ptr<TPxBitmap> TPictureProc::TakeCopy() {
  auto copy = std::make_unique<TPxBitmap>();
  if (undoLocation_ == pxTempFile) {
    // Threshold 0: every copy (and its alpha channel) gets a temporary file.
    copy->SetMemoryThreshold(0);
  } else {
    copy->SetMemoryThreshold(std::numeric_limits<int64_t>::max());
    copy->SetLocation(pxInMemory);
  }
  copy->AssignFrom(*bitmap_);
  return copy;
}

void TPictureProc::Append(TEntryList& list, std::unique_ptr<TPxBitmap> copy, const std::string& caption) {
  // The copy is made before the oldest entry goes, so a copy that cannot be
  // made leaves the list as it was.
  while (!list.empty() && int(list.size()) >= undoLimit_) list.erase(list.begin());
  list.push_back({std::move(copy), caption});
}

void TPictureProc::PushUndo(int kind) {
  if (kind != 1 || !CanCopy()) return;
  Append(undo_, TakeCopy(), std::string());
}

void TPictureProc::PushUndoCaptioned(const std::string& caption, int kind) {
  if (kind != 1 || !CanCopy()) return;
  PushUndo(kind);
  if (!undo_.empty()) undo_.back().Caption = caption;
}

void TPictureProc::PushRedo(int kind) {
  if (kind != 1 || !CanCopy()) return;
  Append(redo_, TakeCopy(), std::string());
}

void TPictureProc::PushRedoCaptioned(const std::string& caption, int kind) {
  if (kind != 1 || !CanCopy()) return;
  PushRedo(kind);
  if (!redo_.empty()) redo_.back().Caption = caption;
}

void TPictureProc::DropLastRedo() {
  if (!redo_.empty()) redo_.pop_back();
}

void TPictureProc::Restore(TEntryList& list, int index) {
  if (index < 0 || index >= int(list.size()) || !bitmap_) return;
  bitmap_->AssignFrom(*list[list.size() - 1 - size_t(index)].Picture);
  UpdateAttached();
}

void TPictureProc::RestoreUndo(int index) {
  Restore(undo_, index);
}
void TPictureProc::RestoreRedo(int index) {
  Restore(redo_, index);
}

std::string TPictureProc::UndoCaption(int index) const {
  return index >= 0 && index < int(undo_.size()) ? undo_[size_t(index)].Caption : std::string();
}
std::string TPictureProc::RedoCaption(int index) const {
  return index >= 0 && index < int(redo_.size()) ? redo_[size_t(index)].Caption : std::string();
}
TPxBitmap* TPictureProc::UndoBitmap(int index) const {
  return index >= 0 && index < int(undo_.size()) ? undo_[size_t(index)].Picture.get() : nullptr;
}
TPxBitmap* TPictureProc::RedoBitmap(int index) const {
  return index >= 0 && index < int(redo_.size()) ? redo_[size_t(index)].Picture.get() : nullptr;
}

template <typename Fn>
void TPictureProc::Transact(const std::string& caption, Fn&& operation) {
  std::unique_ptr<TPxBitmap> copy;
  if (autoUndo_ && CanCopy()) copy = TakeCopy();
  try {
    operation();
  } catch (...) {
    // A failed operation leaves neither a changed picture nor an undo entry
    // for a change that did not happen.
    if (copy) {
      try {
        bitmap_->AssignFrom(*copy);
        UpdateAttached();
      } catch (...) {
        // The first failure is the one to report.
      }
    }
    throw;
  }
  if (copy) Append(undo_, std::move(copy), caption);
}

// ------------------------------------------------------------ notification

void TPictureProc::UpdateAttached() {
  // A platform bitmap carries no alpha channel.
  if (adoptsDisplay_ && bitmap_) bitmap_->RemoveAlphaChannel();
  if (view_) {
    view_->UpdateView();
    view_->NotifyImageChange();
  }
}

void TPictureProc::FinishWork() {
  if (OnProgress) OnProgress(*this, 100);
  if (OnFinishWork) OnFinishWork(*this);
}

TProgressHandler TPictureProc::ProgressHandler() {
  if (!OnProgress) return {};
  return [this](int percent) {
    if (OnProgress) OnProgress(*this, percent);
  };
}

// ------------------------------------------------------------ operations

void TPictureProc::Rotate(double angle, bool antialias, uint8_t antialiasMode, int64_t background) {
  // NaN and infinite angles name no rotation at all.
  if (angle == 0 || !std::isfinite(angle) || !CheckFormat(0)) return;
  const uint32_t color = background == kUseBackgroundProperty ? Background() : uint32_t(background);
  int64_t width = 0, height = 0;
  if (!RotatedBitmapSize(bitmap_->Width(), bitmap_->Height(), bitmap_->Format(), angle, antialias, antialiasMode, width,
                         height))
    throw std::bad_alloc();
  Transact("Rotate " + AngleText(angle),
           [&] { RotateBitmap(*bitmap_, angle, antialias, antialiasMode, ResolveColorBGR(color), ProgressHandler()); });
  UpdateAttached();
  FinishWork();
}

void TPictureProc::Resample(int newWidth, int newHeight, TResampleFilter filter) {
  if (!CheckFormat(0) || bitmap_->Width() == 0 || bitmap_->Height() == 0) return;
  const std::string caption = "Resample " + std::to_string(newWidth) + "," + std::to_string(newHeight);
  if (newWidth < 0 && newHeight < 0) {
    if (autoUndo_) PushUndoCaptioned(caption, 1);
    UpdateAttached();
    FinishWork();
    return;
  }
  const int64_t w = bitmap_->Width(), h = bitmap_->Height();
  // 0 stands for the current size on either side, also where the other side
  // is derived from it (else -1 against 0 would give a width of 1).
  const int64_t heightGiven = newHeight == 0 ? h : std::abs(int64_t(newHeight));
  int64_t nw = newWidth == -1 ? heightGiven * w / h : newWidth == 0 ? w : std::abs(int64_t(newWidth));
  nw = std::max<int64_t>(nw, 1);
  int64_t nh = newHeight == -1 ? nw * h / w : newHeight == 0 ? h : std::abs(int64_t(newHeight));
  nh = std::max<int64_t>(nh, 1);
  const TPxBitmapFormat format = bitmap_->Format();
  TPxBitmapFormat target = format;
  if (format == pxMono1 && filter != rfNone)
    target = (filter == rfProjectBW || filter == rfProjectWB) ? pxMono1 : pxRGB24;
  // Refused before anything changes; filters may work through 24-bit rows.
  const int64_t rowLength = RowLengthFor(nw, std::max(FormatBitsPerPixel(target), 24));
  if (nw > std::numeric_limits<int32_t>::max() || nh > std::numeric_limits<int32_t>::max() ||
      rowLength > std::numeric_limits<int32_t>::max() || rowLength * nh > (int64_t(1) << 46))
    throw std::bad_alloc();

  Transact(caption, [&] {
    TPxBitmap result;
    result.AllocatePixels(int(nw), int(nh), target);
    if (result.Palette() && bitmap_->Palette()) {
      for (int i = 0; i < 256; ++i) result.Palette()[i] = bitmap_->Palette()[i];
    }
    const bool alpha = bitmap_->HasAlphaChannel();
    if (alpha && format == pxRGB24) {
      // Fully transparent pixels are set to mid gray so that no hidden colour
      // bleeds into the visible ones through the filter.
      TPxBitmap& a = *bitmap_->AlphaChannel();
      for (int y = 0; y < int(h); ++y) {
        const uint8_t* alphaRow = a.RowPointer(y);
        const std::vector<uint8_t> mask(alphaRow, alphaRow + w);
        uint8_t* row = bitmap_->RowPointer(y);
        for (int64_t x = 0; x < w; ++x)
          if (mask[size_t(x)] == 0) row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = 128;
      }
    }
    const TProgressHandler progress = ProgressHandler();
    FilteredResample(*bitmap_, result, filter, progress);
    if (alpha) {
      TPxBitmap& source = *bitmap_->AlphaChannel();
      TPxBitmap& dest = *result.AlphaChannel();
      if (filter == rfNone) {
        FilteredResample(source, dest, rfNone);
      } else {
        FilteredResampleAlpha(source, dest, filter);
      }
      dest.SetAllOpaque(source.AllOpaque());
    }
    FinishWork();
    ReplacePicture(*bitmap_, result);
  });
  UpdateAttached();
  FinishWork();
}

}  // namespace rv
