// Whole-file replacement that never leaves a truncated or empty file behind.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace rv {

// Raised when a file cannot be replaced. The text is "Unable to write to <file>";
// SystemError() keeps the errno of the step that failed, Reason() its text.
class EFileWriteError : public std::runtime_error {
 public:
  EFileWriteError(const std::string& fileName, int systemError);
  int SystemError() const { return systemError_; }
  std::string Reason() const;

 private:
  int systemError_;
};

// Replaces the content of fileName with data: the bytes go to a new file in the
// same folder, are flushed to the disk, and that file is renamed over the old one.
// A crash, a full disk or any failure leaves either the old content or the new,
// never a mix; on failure the old file is untouched, the temporary file removed and
// EFileWriteError raised. A symbolic link is followed (its target is replaced), and
// an existing file keeps its permission bits; a new one gets 0666 minus the umask.
void ReplaceFileContent(const std::string& fileName, std::string_view data);

// Reads a whole file. Returns false (errno set) when it cannot be opened or read.
bool ReadWholeFile(const std::string& fileName, std::string* data);

}  // namespace rv
