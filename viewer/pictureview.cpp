// TPictureView: construction, the picture and its components.
#include "viewer/pictureview.h"

#include <utility>

#include "io/pictureio.h"

namespace rv {

TPictureView::TPictureView(TViewHost* host) : TPxView(host) {
  BeginLayoutLock();
  displayBitmap_ = std::make_unique<TBitmap>();
  displayBitmap_->SetPixelFormat(TPixelFormat::pf24bit);
  image_ = std::make_unique<TPxBitmap>();
  image_->AdoptTBitmap(displayBitmap_.get(), false);
  // Loads announce new pixels through the platform bitmap; the view owns it,
  // so the listener dies with the view.
  displayBitmap_->RegisterChangeListener([this](TBitmap&) { zoomCache_.Invalidate(); });
  SetImageDpi(300, 300);
  backBuffer_.SetPixelFormat(TPixelFormat::pf24bit);
  EndLayoutLock();
}

TPictureView::~TPictureView() {
  destroying_ = true;
  aliveToken_.reset();
  if (timerId_ >= 0 && Host()) Host()->StopTimer(timerId_);
  timerId_ = -1;
  // The components unregister from the view while it is whole.
  inputComponent_.reset();
  processingComponent_.reset();
  // The remaining listeners are called by the base with destroying = true,
  // after this part of the view is gone: they must not call back into it.
}

bool TPictureView::IsEmptyImage() {
  return image_->Width() < 2 && image_->Height() < 2;
}

void TPictureView::ClearToBackground() {
  image_->FillWith(double(ResolveColor(Background())));
  image_->RemoveAlphaChannel();
  zoomCache_.Invalidate();
  UpdateView();
}

void TPictureView::BlankImage() {
  image_->ChangeWidth(1);
  image_->ChangeHeight(1);
  ClearToBackground();
}

TPictureIO* TPictureView::InputComponent() {
  if (!inputComponent_) {
    auto io = std::make_unique<TPictureIO>();
    io->SetAttachedPictureView(this);
    io->OnProgress = [this](TPictureIO&, int percent) {
      if (OnProgress) OnProgress(*this, percent);
    };
    io->OnFinishWork = [this](TPictureIO&) {
      if (OnFinishWork) OnFinishWork(*this);
    };
    inputComponent_ = std::move(io);
  }
  return inputComponent_.get();
}

TPictureProc* TPictureView::ProcessingComponent() {
  if (!processingComponent_) {
    processingComponent_ = NewAttachedPictureProc(
        *this,
        [this](int percent) {
          if (OnProgress) OnProgress(*this, percent);
        },
        [this] {
          if (OnFinishWork) OnFinishWork(*this);
        });
  }
  return processingComponent_.get();
}

void TPictureView::NotifyImageChange() {
  zoomCache_.Invalidate();
  if (OnImageChange) OnImageChange(*this);
}

// ------------------------------------------------------------ posted calls

void TPictureView::PostUpdateView() {
  if (!Host()) return;
  Host()->PostCall([this, alive = std::weak_ptr<int>(aliveToken_)] {
    if (!alive.expired()) UpdateView();
  });
}

void TPictureView::PostProgress(int percent) {
  if (!Host()) return;
  Host()->PostCall([this, percent, alive = std::weak_ptr<int>(aliveToken_)] {
    if (!alive.expired() && OnProgress) OnProgress(*this, percent);
  });
}

void TPictureView::PostFinishWork() {
  if (!Host()) return;
  Host()->PostCall([this, alive = std::weak_ptr<int>(aliveToken_)] {
    if (!alive.expired() && OnFinishWork) OnFinishWork(*this);
  });
}

}  // namespace rv
