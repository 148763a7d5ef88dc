// Directory search: the visible entries of one folder, in the order the file
// system returns them, each classed as a file, a folder to descend into, or
// something to leave alone.
#pragma once

#include <dirent.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace rv {

enum class TEntryKind {
  ekFile,    // a regular file, or a symbolic link to one
  ekFolder,  // a real folder (never a link to one, so a walk cannot loop)
  ekOther    // links to folders, dangling links, devices, pipes, sockets
};

// Reads one folder. Hidden entries (names starting with "."), "." and ".." among
// them, are never returned. A folder that cannot be opened or read simply has no
// (more) entries. Keeps one descriptor open until destroyed.
class TFolderSearch {
 public:
  explicit TFolderSearch(const std::string& folder);
  ~TFolderSearch();
  TFolderSearch(const TFolderSearch&) = delete;
  TFolderSearch& operator=(const TFolderSearch&) = delete;

  bool IsOpen() const { return dir_ != nullptr; }
  // The next entry; the name stays valid until the next call. False at the end.
  bool Next(std::string_view* name, TEntryKind* kind);
  // Last-write time of an entry of this folder (links followed), UTC milliseconds.
  bool LastWriteTimeMs(std::string_view name, int64_t* utcMs) const;

 private:
  DIR* dir_ = nullptr;
};

}  // namespace rv
