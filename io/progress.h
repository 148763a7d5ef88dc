// TProgressRecord: what the input component hands every reader. It carries the
// progress callback and a reference to the component's abort flag, through which
// a reader reports failure (readers never throw for bad data).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace rv {

struct TImageLimits;

// Progress callback: sender first, then the per-cent value (0..100).
using TPxProgressHook = std::function<void(void* sender, int percent)>;

struct TProgressRecord {
  TPxProgressHook Callback;  // may be empty: nothing is reported
  void* Sender = nullptr;    // the component that runs the load
  int32_t Counter = 0;       // running row counter a reader may use across calls
  double Scale = 0;          // per cent per unit of work, set by the reader (100 / units)
  bool* Aborted = nullptr;   // the component's flag; null means "nobody listens"
  // Size limits for the header check; null means the process-wide ones (io/limits.h).
  const TImageLimits* Limits = nullptr;
  // Why the load failed: the first reason given to Fail is kept, later ones are ignored.
  std::string AbortReason;

  // Calls the callback with trunc(unitsDone × Scale), when one is set.
  void Report(int64_t unitsDone) const {
    if (Callback) Callback(Sender, static_cast<int>(static_cast<double>(unitsDone) * Scale));
  }
  void ReportPercent(int percent) const {
    if (Callback) Callback(Sender, percent);
  }
  bool IsAborted() const { return Aborted != nullptr && *Aborted; }
  void Abort() {
    if (Aborted != nullptr) *Aborted = true;
  }
  // Sets the abort flag and keeps the first reason. Readers name the format,
  // the field and the byte offset: "BMP: palette count 300 > 256 at offset 46".
  void Fail(std::string reason) {
    Abort();
    if (AbortReason.empty()) AbortReason = std::move(reason);
  }
};

}  // namespace rv
