#include "app/picturelist.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/atomicfile.h"
#include "platform/filesearch.h"
#include "platform/filetime.h"
#include "platform/stream.h"

namespace rv {

std::string ListEntryPath(std::string_view line) {
  size_t eq = line.find('=');
  if (eq != std::string_view::npos) return std::string(line.substr(eq + 1));
  return line.empty() ? std::string() : std::string(line.substr(1));
}

std::string_view ListEntryKey(std::string_view line) {
  size_t eq = line.find('=');
  return eq == std::string_view::npos ? std::string_view() : line.substr(0, eq);
}

TPictureList ParseListText(std::string_view text) {
  if (size_t nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  TPictureList list;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) {
      list.emplace_back(text.substr(pos));
      break;
    }
    list.emplace_back(text.substr(pos, end - pos));
    pos = end + 1;
    if (text[end] == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
  }
  return list;
}

std::string ListText(const TPictureList& list) {
  size_t size = 0;
  for (const std::string& line : list) size += line.size() + 2;
  std::string text;
  text.reserve(size);
  for (const std::string& line : list) {
    text += line;
    text += "\r\n";
  }
  return text;
}

TPictureList LoadPictureList(const std::string& fileName) {
  std::string text;
  if (!ReadWholeFile(fileName, &text))
    throw EFOpenError("Cannot open file \"" + fileName + "\". " + std::strerror(errno));
  return ParseListText(text);
}

void StorePictureList(const std::string& fileName, const TPictureList& list) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
      throw EPictureListError("Cannot store " + fileName + ": entry " + std::to_string(i) + " holds a line break");
  }
  ReplaceFileContent(fileName, ListText(list));
}

namespace {

char FoldAscii(char c) {
  return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

bool HoldsLineBreak(std::string_view name) {
  return name.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

bool HasPictureExtension(std::string_view path) {
  if (size_t slash = path.rfind('/'); slash != std::string_view::npos) path = path.substr(slash + 1);
  size_t dot = path.rfind('.');
  if (dot == std::string_view::npos) return false;
  const std::string_view ext = path.substr(dot);
  for (std::string_view picture : {".jpg", ".png", ".bmp", ".gif", ".jpeg"})
    if (EqualsIgnoringCase(ext, picture)) return true;
  return false;
}

std::string FileTimeKey(const std::string& path, std::string_view decimalSeparator, int64_t utcOffsetSeconds) {
  int64_t utcMs;
  if (!LastWriteTimeMs(path, &utcMs)) return std::string();
  return DayCountText(FileTimeToLocalDateTime(utcMs, utcOffsetSeconds), decimalSeparator);
}

std::string FileTimeKey(const std::string& path) {
  return FileTimeKey(path, LocaleDecimalSeparator(), CurrentUtcOffsetSeconds());
}

namespace {

// Walks a folder as the scans define it and calls found(dir, name, utcMs) for each
// picture file; the time only when withTimes (0 otherwise). Each folder is read to
// its end and closed before its subfolders are opened, so one descriptor is open
// at a time however deep the tree, and the walk keeps its own stack.
template <typename Found>
void WalkPictureFiles(const std::string& folder, bool recursive, bool withTimes, Found&& found) {
  if (folder.empty()) return;
  std::string root = folder;
  while (!root.empty() && root.back() == '/') root.pop_back();
  root += '/';

  struct Item {
    std::string name;
    bool folder;
    int64_t utcMs;
  };
  struct Frame {
    std::string dir;  // ends with '/'
    std::vector<Item> items;
    size_t next = 0;
  };
  std::vector<Frame> stack;
  auto read = [&](std::string dir) {
    Frame frame;
    frame.dir = std::move(dir);
    TFolderSearch search(frame.dir);
    std::string_view name;
    TEntryKind kind;
    while (search.Next(&name, &kind)) {
      // A name with a line break would split its list line in two.
      if (HoldsLineBreak(name)) continue;
      if (kind == TEntryKind::ekFolder) {
        if (recursive) frame.items.push_back({std::string(name), true, 0});
      } else if (kind == TEntryKind::ekFile && HasPictureExtension(name)) {
        int64_t utcMs = 0;
        // A file gone between the listing and the look-up is no longer there to show.
        if (withTimes && !search.LastWriteTimeMs(name, &utcMs)) continue;
        frame.items.push_back({std::string(name), false, utcMs});
      }
    }
    stack.push_back(std::move(frame));
  };

  read(root);
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.items.size()) {
      stack.pop_back();
      continue;
    }
    const Item& item = frame.items[frame.next++];
    if (item.folder) {
      read(frame.dir + item.name + '/');  // invalidates frame
    } else {
      found(frame.dir, item.name, item.utcMs);
    }
  }
}

}  // namespace

std::vector<std::string> ScanFolder(const std::string& folder, bool recursive) {
  std::vector<std::string> paths;
  WalkPictureFiles(folder, recursive, false,
                   [&](const std::string& dir, const std::string& name, int64_t) { paths.push_back(dir + name); });
  return paths;
}

std::vector<std::string> GetDirs(const std::string& folder) {
  return ScanFolder(folder, false);
}

TPictureList ListLines(const std::vector<std::string>& paths) {
  const std::string separator = LocaleDecimalSeparator();
  const int64_t offset = CurrentUtcOffsetSeconds();
  TPictureList lines;
  lines.reserve(paths.size());
  for (const std::string& path : paths) lines.push_back(FileTimeKey(path, separator, offset) + "=" + path);
  return lines;
}

TPictureList ScanFolderLines(const std::string& folder, bool recursive, std::string_view decimalSeparator,
                             int64_t utcOffsetSeconds) {
  TPictureList lines;
  WalkPictureFiles(folder, recursive, true, [&](const std::string& dir, const std::string& name, int64_t utcMs) {
    std::string line = DayCountText(FileTimeToLocalDateTime(utcMs, utcOffsetSeconds), decimalSeparator);
    line.reserve(line.size() + 1 + dir.size() + name.size());
    line += '=';
    line += dir;
    line += name;
    lines.push_back(std::move(line));
  });
  return lines;
}

TPictureList ScanFolderLines(const std::string& folder, bool recursive) {
  return ScanFolderLines(folder, recursive, LocaleDecimalSeparator(), CurrentUtcOffsetSeconds());
}

namespace {

// Collation weight of each byte: "=" first, then the other punctuation, blanks and
// control bytes (in byte order), digits, letters without case, and bytes >= 0x80.
constexpr std::array<uint16_t, 256> MakeWeights() {
  std::array<uint16_t, 256> w{};
  for (int c = 0; c < 256; ++c) {
    if (c == '=') {
      w[c] = 0;
    } else if (c >= '0' && c <= '9') {
      w[c] = uint16_t(200 + (c - '0'));
    } else if (c >= 'a' && c <= 'z') {
      w[c] = uint16_t(300 + (c - 'a'));
    } else if (c >= 'A' && c <= 'Z') {
      w[c] = uint16_t(300 + (c - 'A'));
    } else if (c >= 0x80) {
      w[c] = uint16_t(400 + c);
    } else {
      w[c] = uint16_t(1 + c);
    }
  }
  return w;
}
constexpr std::array<uint16_t, 256> kWeights = MakeWeights();

}  // namespace

int CompareListLines(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    uint16_t wa = kWeights[uint8_t(a[i])], wb = kWeights[uint8_t(b[i])];
    if (wa != wb) return wa < wb ? -1 : 1;
  }
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  int bytes = a.compare(b);
  return bytes < 0 ? -1 : bytes > 0 ? 1 : 0;
}

void SortPictureList(TPictureList& list) {
  if (list.size() < 2) return;
  std::sort(list.begin(), list.end(),
            [](const std::string& a, const std::string& b) { return CompareListLines(a, b) < 0; });
}

uint32_t NextRandom(uint32_t& seed, uint32_t n) {
  seed = seed * 134775813u + 1u;
  return uint32_t((uint64_t(seed) * n) >> 32);
}

void ShufflePictureList(TPictureList& list, uint32_t seed) {
  // Lists beyond 2^32 lines cannot be drawn from with a 32-bit range; the tail stays.
  uint32_t i = uint32_t(std::min<size_t>(list.size(), UINT32_MAX));
  while (i > 1) {
    uint32_t j = NextRandom(seed, i);
    --i;
    std::swap(list[j], list[i]);
  }
}

void ShufflePictureList(TPictureList& list) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ns = uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
  ShufflePictureList(list, uint32_t(ns));
}

namespace {

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  return home && *home ? std::string(home) : std::string();
}

// XDG_PICTURES_DIR from a user-dirs.dirs text: "$HOME/..." or an absolute path,
// in double quotes, with backslash escapes.
std::string PicturesDirFromUserDirs(const std::string& text, const std::string& home) {
  for (std::string_view rest = text; !rest.empty();) {
    size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    constexpr std::string_view kKey = "XDG_PICTURES_DIR=";
    if (line.substr(0, kKey.size()) != kKey) continue;
    line.remove_prefix(kKey.size());
    if (line.empty() || line.front() != '"') continue;
    line.remove_prefix(1);
    std::string value;
    for (size_t i = 0; i < line.size() && line[i] != '"'; ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) ++i;
      value += line[i];
    }
    if (value.rfind("$HOME", 0) == 0 && (value.size() == 5 || value[5] == '/')) return home + value.substr(5);
    if (!value.empty() && value.front() == '/') return value;
  }
  return std::string();
}

std::string RealPath(const std::string& path) {
  if (char* resolved = ::realpath(path.c_str(), nullptr)) {
    std::string result = resolved;
    std::free(resolved);
    return result;
  }
  return std::string();
}

}  // namespace

std::string UserPictureFolder() {
  const std::string home = HomeFolder();
  if (home.empty()) return std::string();
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  const std::string config = configHome && *configHome == '/' ? std::string(configHome) : home + "/.config";
  std::string text;
  if (ReadWholeFile(config + "/user-dirs.dirs", &text)) {
    std::string folder = PicturesDirFromUserDirs(text, home);
    if (!folder.empty()) return folder;
  }
  return home + "/Pictures";
}

bool IsScannablePictureFolder(const std::string& folder) {
  if (folder.empty()) return false;
  struct stat st;
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  const std::string real = RealPath(folder);
  if (real.empty() || real == "/") return false;
  const std::string home = HomeFolder();
  return home.empty() || RealPath(home) != real;
}

TPictureList FirstRunScan(const std::string& listFile, const std::string& pictureFolder, const TMessageFunc& message) {
  if (message) message(kFirstRunMessage);
  TPictureList list;
  if (IsScannablePictureFolder(pictureFolder)) list = ScanFolderLines(pictureFolder, false);
  SortPictureList(list);
  StorePictureList(listFile, list);
  if (message) message(kScanDoneMessage);
  return list;
}

}  // namespace rv
