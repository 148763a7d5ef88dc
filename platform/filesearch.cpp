#include "platform/filesearch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace rv {

namespace {

TEntryKind KindOfStat(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return TEntryKind::ekFile;
  if (S_ISDIR(st.st_mode)) return TEntryKind::ekFolder;
  return TEntryKind::ekOther;
}

}  // namespace

TFolderSearch::TFolderSearch(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  dir_ = ::fdopendir(fd);
  if (!dir_) ::close(fd);
}

TFolderSearch::~TFolderSearch() {
  if (dir_) ::closedir(dir_);
}

bool TFolderSearch::Next(std::string_view* name, TEntryKind* kind) {
  if (!dir_) return false;
  for (;;) {
    errno = 0;
    struct dirent* entry = ::readdir(dir_);
    // The end, or a read error: either way this folder has nothing more to give.
    if (!entry) return false;
    if (entry->d_name[0] == '.') continue;
    struct stat st;
    switch (entry->d_type) {
      case DT_REG:
        *kind = TEntryKind::ekFile;
        break;
      case DT_DIR:
        *kind = TEntryKind::ekFolder;
        break;
      case DT_LNK:
        // Links count by what they point to, but a link never counts as a folder.
        *kind = ::fstatat(::dirfd(dir_), entry->d_name, &st, 0) == 0 && S_ISREG(st.st_mode) ? TEntryKind::ekFile
                                                                                            : TEntryKind::ekOther;
        break;
      case DT_UNKNOWN:
        // Some file systems do not fill d_type.
        if (::fstatat(::dirfd(dir_), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
          *kind = TEntryKind::ekOther;
        } else if (S_ISLNK(st.st_mode)) {
          *kind = ::fstatat(::dirfd(dir_), entry->d_name, &st, 0) == 0 && S_ISREG(st.st_mode) ? TEntryKind::ekFile
                                                                                              : TEntryKind::ekOther;
        } else {
          *kind = KindOfStat(st);
        }
        break;
      default:
        *kind = TEntryKind::ekOther;
        break;
    }
    *name = entry->d_name;
    return true;
  }
}

bool TFolderSearch::LastWriteTimeMs(std::string_view name, int64_t* utcMs) const {
  if (!dir_) return false;
  std::string path(name);
  struct stat st;
  if (::fstatat(::dirfd(dir_), path.c_str(), &st, 0) != 0) return false;
  *utcMs = int64_t(st.st_mtim.tv_sec) * 1000 + int64_t(st.st_mtim.tv_nsec) / 1000000;
  return true;
}

}  // namespace rv
