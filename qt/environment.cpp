#include "qt/environment.h"

#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace rv::qt {

namespace {

bool IsSet(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0';
}

// DISPLAY names a local server (":0", ":1.0", "unix:0") whose socket exists,
// or a remote one, which we cannot check cheaply and take as reachable.
bool XServerReachable() {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') return false;
  const std::string d(display);
  const size_t colon = d.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string host = d.substr(0, colon);
  if (!host.empty() && host != "unix") return true;
  std::string number = d.substr(colon + 1);
  number = number.substr(0, number.find('.'));
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
  struct stat st;
  return stat(("/tmp/.X11-unix/X" + number).c_str(), &st) == 0;
}

}  // namespace

void PrepareApplicationEnvironment() {
  if (std::getenv("QT_ENABLE_HIGHDPI_SCALING") == nullptr) setenv("QT_ENABLE_HIGHDPI_SCALING", "0", 1);
  if (IsSet("WAYLAND_DISPLAY") && !IsSet("QT_QPA_PLATFORM") && XServerReachable()) setenv("QT_QPA_PLATFORM", "xcb", 1);
}

}  // namespace rv::qt
