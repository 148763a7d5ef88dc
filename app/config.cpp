#include "app/config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/inifile.h"

namespace rv {

namespace {

// mkdir -p; false when the folder is not there afterwards.
bool MakeFolders(const std::string& folder) {
  struct stat st;
  if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t slash = folder.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(folder.substr(0, slash))) return false;
  return ::mkdir(folder.c_str(), 0777) == 0 || errno == EEXIST;
}

std::string WithoutTrailingSlash(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

std::string ExecutableFolder() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  std::string path(buffer, size_t(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : WithoutTrailingSlash(path.substr(0, slash + 1));
}

}  // namespace

int32_t SaturateToInt32(int64_t value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return int32_t(value);
}

int64_t HalfRoundedEven(int64_t n) {
  int64_t half = n / 2;  // toward zero
  if (n % 2 != 0 && half % 2 != 0) half += n > 0 ? 1 : -1;
  return half;
}

std::string ProgramFolder() {
  return ProgramFolderFor(ExecutableFolder());
}

std::string ProgramFolderFor(const std::string& executableFolder) {
  if (const char* home = std::getenv("REVIMORA_HOME"); home && *home) {
    std::string folder = WithoutTrailingSlash(home);
    MakeFolders(folder);
    return folder;
  }
  const std::string& exe = executableFolder;
  if (!exe.empty() && ::access(exe.c_str(), W_OK) == 0) return exe;
  std::string config;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
    config = xdg;
  } else if (const char* userHome = std::getenv("HOME"); userHome && *userHome) {
    config = std::string(userHome) + "/.config";
  } else {
    // Nowhere else to go: the executable's folder, where writes will report their failure.
    return exe;
  }
  std::string folder = WithoutTrailingSlash(config) + "/revimora";
  MakeFolders(folder);
  return folder;
}

std::string ConfigFileName() {
  return ProgramFolder() + "/config.ini";
}
std::string PictureListFileName() {
  return ProgramFolder() + "/list.dat";
}

int32_t StartIndex(int32_t storedNum) {
  return storedNum == 0 ? 0 : SaturateToInt32(int64_t(storedNum) + 1);
}

int32_t StepIndex(int32_t index, int32_t delta) {
  return SaturateToInt32(int64_t(index) + delta);
}

TWindowCentre WindowCentre(int32_t left, int32_t top, int32_t width, int32_t height) {
  return {SaturateToInt32(left + HalfRoundedEven(width)), SaturateToInt32(top + HalfRoundedEven(height))};
}

TStartupConfig LoadConfig(const std::string& iniFileName) {
  TIniFile ini(iniFileName);
  TStartupConfig config;
  config.px = ini.ReadInteger(kPositionSection, "px", kNoPosition);
  config.py = ini.ReadInteger(kPositionSection, "py", kNoPosition);
  config.StayOnTop = ini.ReadBool(kConfigSection, "staytop", true);
  config.SlideInterval = ini.ReadInteger(kConfigSection, "time", 100);
  config.SmoothZoom = ini.ReadInteger(kConfigSection, "smooth", 0);
  config.CurrentIndex = StartIndex(ini.ReadInteger(kConfigSection, "num", 0));
  if (config.px != kNoPosition && config.py != kNoPosition) {
    config.HasSavedCentre = true;
    config.SavedCentreX = config.px;
    config.SavedCentreY = config.py;
  }
  return config;
}

void SaveOnClose(const std::string& iniFileName, TWindowCentre centre, int32_t currentIndex, int32_t smoothZoom) {
  TIniFile ini(iniFileName);
  ini.WriteInteger(kPositionSection, "px", centre.px);
  ini.WriteInteger(kPositionSection, "py", centre.py);
  ini.WriteInteger(kConfigSection, "num", currentIndex);
  ini.WriteInteger(kConfigSection, "smooth", smoothZoom);
}

TSettingsConfig LoadSettingsConfig(const std::string& iniFileName, const std::string& defaultPath) {
  TIniFile ini(iniFileName);
  TSettingsConfig settings;
  settings.Path = ini.ReadString(kConfigSection, "path", defaultPath);
  settings.SlideInterval = ini.ReadInteger(kConfigSection, "time", 100);
  settings.RootOnly = ini.ReadBool(kConfigSection, "only", true);
  settings.Recursive = ini.ReadBool(kConfigSection, "all", false);
  settings.ByTime = ini.ReadBool(kConfigSection, "bytime", true);
  settings.Random = ini.ReadBool(kConfigSection, "random", false);
  settings.StayOnTop = ini.ReadBool(kConfigSection, "staytop", true);
  return settings;
}

void SaveSettings(const std::string& iniFileName, const TSettingsConfig& settings, int32_t currentIndex) {
  if (settings.Path.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
    throw EIniError("Cannot write [config] path to " + iniFileName + ": the value holds a line break");
  TIniFile ini(iniFileName);
  ini.WriteInteger(kConfigSection, "time", settings.SlideInterval);
  ini.WriteBool(kConfigSection, "staytop", settings.StayOnTop);
  ini.WriteString(kConfigSection, "path", settings.Path);
  ini.WriteInteger(kConfigSection, "num", currentIndex);
  ini.WriteBool(kConfigSection, "only", settings.RootOnly);
  ini.WriteBool(kConfigSection, "all", settings.Recursive);
  ini.WriteBool(kConfigSection, "bytime", settings.ByTime);
  ini.WriteBool(kConfigSection, "random", settings.Random);
}

}  // namespace rv
