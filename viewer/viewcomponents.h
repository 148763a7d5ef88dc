// Creation of the processing component for a view. Kept in a unit of its own:
// the processing header's colour helper and the background header's cannot be
// declared in the same unit.
#pragma once

#include <functional>
#include <memory>

namespace rv {

class TPxView;
class TPictureProc;
struct TPictureProcDeleter {
  void operator()(TPictureProc* proc) const;
};

// A processing component attached to view, reporting progress and the end of
// its work through the two callbacks.
std::unique_ptr<TPictureProc, TPictureProcDeleter> NewAttachedPictureProc(TPxView& view,
                                                                          std::function<void(int percent)> onProgress,
                                                                          std::function<void()> onFinishWork);

}  // namespace rv
