// config.ini: every key the program keeps, its default, and the moments it is
// read and written, as functions the windows call. Also the program's folder,
// where config.ini and list.dat live. No window code.
#pragma once

#include <cstdint>
#include <string>

namespace rv {

// Integer helpers of the index and window arithmetic: a 64-bit result kept
// within the 32-bit range, and Round(n / 2) with halves to the even
// neighbour (801 gives 400, 803 gives 402).
int32_t SaturateToInt32(int64_t value);
int64_t HalfRoundedEven(int64_t n);

// Section and key names of config.ini.
inline constexpr const char* kConfigSection = "config";
inline constexpr const char* kPositionSection = "Position";

// The value of px and py that marks a missing window position.
inline constexpr int32_t kNoPosition = -10000;
// The index that shows an empty message screen.
inline constexpr int32_t NoEntry = 1000000000;

// The folder of config.ini and list.dat: $REVIMORA_HOME when set; else the
// executable's folder when it is writable (a portable install); else
// $XDG_CONFIG_HOME/revimora (~/.config/revimora). The chosen folder is created
// when missing. No trailing "/".
std::string ProgramFolder();
// The same choice for a given executable folder (REVIMORA_HOME still first).
std::string ProgramFolderFor(const std::string& executableFolder);
std::string ConfigFileName();       // ProgramFolder() + "/config.ini"
std::string PictureListFileName();  // ProgramFolder() + "/list.dat"

// What the main window's creation reads, in this order: Position/px, Position/py,
// config/staytop, config/time, config/smooth, config/num.
struct TStartupConfig {
  int32_t px = kNoPosition;
  int32_t py = kNoPosition;
  bool StayOnTop = true;
  int32_t SlideInterval = 100;  // milliseconds
  int32_t SmoothZoom = 0;       // 0: nearest pixel; anything else: smooth
  int32_t CurrentIndex = 0;     // the stored num after StartIndex
  // Both px and py differ from kNoPosition: the window is placed with its centre
  // at (SavedCentreX, SavedCentreY) instead of centred on the desktop.
  bool HasSavedCentre = false;
  int32_t SavedCentreX = 0;
  int32_t SavedCentreY = 0;
};
// Reads the start-up keys from an INI file; anything missing or not a number
// gives its default, nothing is reported.
TStartupConfig LoadConfig(const std::string& iniFileName);

// The first index of a run: one after the stored one, except that 0 stays 0
// (-1 thus gives 0). Saturates at the 32-bit maximum instead of wrapping.
int32_t StartIndex(int32_t storedNum);
// CurrentIndex moved by delta (the arrow keys, the slide show), saturating at the
// ends of the 32-bit range.
int32_t StepIndex(int32_t index, int32_t delta);

// The window centre the close writes: left + Round(width / 2), top + Round(height
// / 2), halves to the even neighbour, saturating at the 32-bit range.
struct TWindowCentre {
  int32_t px;
  int32_t py;
};
TWindowCentre WindowCentre(int32_t left, int32_t top, int32_t width, int32_t height);

// The main window's close: writes Position/px, Position/py, config/num and
// config/smooth, in that order, each reaching the file at once; never staytop or
// time (a stay-on-top change from the menu lasts only for the run). Raises
// EFileWriteError ("Unable to write to <file>") at the first key that cannot be
// written; the keys before it are stored.
void SaveOnClose(const std::string& iniFileName, TWindowCentre centre, int32_t currentIndex, int32_t smoothZoom);

// What the settings dialog reads at its creation and every showing, in this
// order: path (default: the folder given), time, only, all, bytime, random,
// staytop.
struct TSettingsConfig {
  std::string Path;
  int32_t SlideInterval = 100;
  bool RootOnly = true;    // only
  bool Recursive = false;  // all
  bool ByTime = true;      // bytime
  bool Random = false;     // random
  bool StayOnTop = true;   // staytop
};
TSettingsConfig LoadSettingsConfig(const std::string& iniFileName, const std::string& defaultPath);

// The settings dialog's Save: writes, in this order, all in section config: time,
// staytop, path, num, only, all, bytime, random. Raises EFileWriteError like
// SaveOnClose, and EIniError before writing anything when the path holds a line
// break (it would end the value and start a key of its own).
void SaveSettings(const std::string& iniFileName, const TSettingsConfig& settings, int32_t currentIndex);

}  // namespace rv
