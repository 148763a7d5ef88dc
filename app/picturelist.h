// The picture list: its lines ("<time key>=<path>"), the file list.dat that holds
// it, the folder scans that collect picture files, and its two orders (by time
// key, at random). No window code: messages go through a callback.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace rv {

// Ordered lines "<TimeKey>=<PicturePath>", addressed by index.
using TPictureList = std::vector<std::string>;

// Raised when a list cannot be stored as it is (a line holding a line break would
// split into two entries).
class EPictureListError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The path of a line: the text after its first "="; a line without "=" gives the
// line without its first character.
std::string ListEntryPath(std::string_view line);
// The key of a line: the text before its first "=", empty without one.
std::string_view ListEntryKey(std::string_view line);

// list.dat text: one line per entry, each ended by CR LF (the last too), bytes as
// they are. Reading ends a line at CR, LF or CR LF (counted once), keeps an empty
// line in the middle as an empty entry, takes a last line without a line end, and
// stops at a NUL byte.
TPictureList ParseListText(std::string_view text);
std::string ListText(const TPictureList& list);
// Reads a whole list file; EFOpenError ("Cannot open file "<name>". <reason>") when
// it cannot be read.
TPictureList LoadPictureList(const std::string& fileName);
// Replaces the whole file atomically (EFileWriteError, old file kept, when that
// fails); an empty list stores an empty file. EPictureListError, writing nothing,
// when a line holds CR, LF or NUL.
void StorePictureList(const std::string& fileName, const TPictureList& list);

// True when the part of the path after its last "/" ends in ".jpg", ".jpeg",
// ".png", ".bmp" or ".gif" (the text from its last "."), ignoring ASCII case.
bool HasPictureExtension(std::string_view path);

// The list key of one file: its last-write time moved by the current UTC offset,
// as a day count in general decimal text with the locale's decimal separator.
// Empty when the file cannot be looked up. The second form takes the separator
// and the offset instead of reading them from the environment.
std::string FileTimeKey(const std::string& path);
std::string FileTimeKey(const std::string& path, std::string_view decimalSeparator, int64_t utcOffsetSeconds);

// Picture files in the root of a folder, as folder + "/" + name, in the order the
// file system returns them. Hidden entries, names holding CR or LF, and anything
// that is not a regular file (folders, also one named holiday.jpg; links to
// folders; pipes, devices) are left out. A folder that cannot be read, and an
// empty folder name, give nothing.
std::vector<std::string> GetDirs(const std::string& folder);
// The same, descending depth first into subfolders when recursive: a subfolder's
// files come at the point where the search met it. Links to folders are never
// followed, so the walk cannot loop; an unreadable subfolder is passed over.
std::vector<std::string> ScanFolder(const std::string& folder, bool recursive);
// One line FileTimeKey(p) + "=" + p per path, in order.
TPictureList ListLines(const std::vector<std::string>& paths);
// ScanFolder and ListLines in one pass (the times come from the same search), with
// the locale's separator and the current offset taken once.
TPictureList ScanFolderLines(const std::string& folder, bool recursive);
TPictureList ScanFolderLines(const std::string& folder, bool recursive, std::string_view decimalSeparator,
                             int64_t utcOffsetSeconds);

// The list order: ASCII case ignored; "=" before any other punctuation, other
// punctuation (the decimal separator among it) before digits, digits before
// letters, other bytes last. Keys with the same number of whole-day digits so
// order by time, and equal keys by path ignoring case. Lines equal but for case
// fall back to byte order, so the result does not depend on the input order.
int CompareListLines(std::string_view a, std::string_view b);
void SortPictureList(TPictureList& list);

// The list generator: seed := seed * 134775813 + 1 (mod 2^32), then a value in
// [0, n) is the high 32 bits of seed * n.
uint32_t NextRandom(uint32_t& seed, uint32_t n);
// Exchanges from the end: for i from the count down to 2, j := NextRandom(i),
// swap the lines at j and i - 1. The first form seeds from the clock.
void ShufflePictureList(TPictureList& list);
void ShufflePictureList(TPictureList& list, uint32_t seed);

// The user's picture folder: XDG_PICTURES_DIR of user-dirs.dirs, else
// $HOME/Pictures. Empty when there is no home folder.
std::string UserPictureFolder();
// True when a folder may be scanned on the program's own account: it exists, and
// it is neither "/" nor the home folder itself (user-dirs.dirs points a picture
// folder it has switched off at the home folder).
bool IsScannablePictureFolder(const std::string& folder);

inline constexpr std::string_view kFirstRunMessage =
    "首次运行，默认扫描系统的“图片收藏”，点击OK后请稍等（若图片较多），直到弹出扫描完成的提示。";
inline constexpr std::string_view kScanDoneMessage = "扫描工作圆满完成！";

// Shows one message and returns when the user has acknowledged it.
using TMessageFunc = std::function<void(std::string_view text)>;

// The first run: tells the user (kFirstRunMessage), scans the root of the picture
// folder when IsScannablePictureFolder allows it (else finds nothing), sorts the
// lines, stores them as listFile (an empty file when nothing was found, so the
// program goes on to its "no pictures" screen and its settings), tells the user
// it is done (kScanDoneMessage) and returns the list. A failure to store the file
// propagates before the second message.
TPictureList FirstRunScan(const std::string& listFile, const std::string& pictureFolder, const TMessageFunc& message);

}  // namespace rv
