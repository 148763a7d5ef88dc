// INI files with the semantics of the classic profile calls: [sections] and
// key=value lines, names matched ignoring ASCII case, the first match wins, and
// everything the program does not know (other keys, sections, comments, line
// ends) is kept as it is when a value is written.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace rv {

// Raised when a value cannot be written because it would change the file's
// structure (a line break in a value, "=" in a key, "]" in a section name).
class EIniError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A settings file that is never kept open: every read opens, reads and closes the
// file, and every write reaches the disk at once, replacing the file atomically
// (see ReplaceFileContent), so a crash never leaves a truncated file.
//
// Reading never fails: a missing file, section or key, or a value that does not
// parse, gives the default. Writing raises EFileWriteError ("Unable to write to
// <file>") when the file cannot be replaced, leaving the old one, and EIniError for
// names and values that cannot be stored.
class TIniFile {
 public:
  explicit TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}
  const std::string& FileName() const { return fileName_; }

  // The value with surrounding blanks removed, and one pair of enclosing quotes
  // ("..." or '...') taken off, as written by WriteString for values that need it.
  std::string ReadString(std::string_view section, std::string_view key, std::string_view defaultValue) const;
  // Decimal, or hexadecimal after "0x", "0X" or "$", with an optional sign; a value
  // that is not such a number in the 32-bit range gives the default.
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t defaultValue) const;
  // An integer as ReadInteger reads it; any non-zero value is true.
  bool ReadBool(std::string_view section, std::string_view key, bool defaultValue) const;
  // The value as stored, when the key exists.
  std::optional<std::string> Find(std::string_view section, std::string_view key) const;

  // Replaces the key's first line in the section, or adds it at the end of the
  // section (the section at the end of the file). Values with leading or trailing
  // blanks or enclosing quotes are written in quotes so they read back unchanged.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  // Decimal text.
  void WriteInteger(std::string_view section, std::string_view key, int32_t value);
  // "1" or "0".
  void WriteBool(std::string_view section, std::string_view key, bool value);

 private:
  std::string fileName_;
};

// The integer rule of ReadInteger on one text; false leaves *value unchanged.
bool ParseIniInteger(std::string_view text, int32_t* value);

}  // namespace rv
