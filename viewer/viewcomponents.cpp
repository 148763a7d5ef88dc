#include "viewer/viewcomponents.h"

#include <utility>

#include "imaging/pictureproc.h"

namespace rv {

void TPictureProcDeleter::operator()(TPictureProc* proc) const {
  delete proc;
}

std::unique_ptr<TPictureProc, TPictureProcDeleter> NewAttachedPictureProc(TPxView& view,
                                                                          std::function<void(int percent)> onProgress,
                                                                          std::function<void()> onFinishWork) {
  std::unique_ptr<TPictureProc, TPictureProcDeleter> proc(new TPictureProc());
  proc->SetAttachedPictureView(&view);
  proc->OnProgress = [onProgress = std::move(onProgress)](TPictureProc&, int percent) {
    if (onProgress) onProgress(percent);
  };
  proc->OnFinishWork = [onFinishWork = std::move(onFinishWork)](TPictureProc&) {
    if (onFinishWork) onFinishWork();
  };
  return proc;
}

}  // namespace rv
