// What the corpus tables say of a file, in one vocabulary for every format:
// the outcome of loading it and where its reference picture is found.
#pragma once

#include <string>

namespace rv::test {

// What loading a corpus file must do.
enum class TOutcome {
  kLoads,            // loads; compared with its reference where it has one
  kLoadsUncompared,  // loads; the reference decodes it differently by design (the row says why)
  kFails,            // refused: the abort flag with a reason
  kNoCrash,          // either of the above; it must only not crash
};

// Where a suite finds the reference of a file, relative to the suite's folder
// or to the suite's reference folder.
enum class TRefRule {
  kNone,         // no references (or only those a row names)
  kStem,         // refs/<path without extension>.png
  kFileName,     // refs/<path>.png
  kSizeAndMode,  // refs/<name up to its origin and compression parts>.png ("200x32_rgb_bl_raw.tga" -> "200x32_rgb")
  kRefMap,       // a TSV "file<TAB>ref,ref,..." with paths relative to the reference folder
  kSibling,      // <reference folder>/<file name>.png
};

// The corpus beside the repository, without a trailing slash.
inline std::string CorpusRoot() {
  return std::string(REVIMORA_SOURCE_DIR) + "/../shared/corpus";
}

}  // namespace rv::test
