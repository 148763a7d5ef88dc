#include "platform/inifile.h"

#include <cerrno>
#include <charconv>
#include <limits>
#include <vector>

#include "platform/atomicfile.h"

namespace rv {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char FoldAscii(char c) {
  return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

enum class LineKind { kOther, kSection, kKey };

struct ParsedLine {
  LineKind kind = LineKind::kOther;
  std::string_view name;   // section name or key
  std::string_view value;  // raw value text, trimmed
};

// One line of the file, with its own line end kept so a rewrite changes nothing
// but the line it means to change.
struct Line {
  std::string text;    // without the line end
  std::string ending;  // "\n", "\r\n" or "" (last line without one)
};

std::vector<Line> SplitLines(const std::string& content) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < content.size()) {
    size_t lf = content.find('\n', pos);
    if (lf == std::string::npos) {
      lines.push_back({content.substr(pos), std::string()});
      break;
    }
    const bool crlf = lf > pos && content[lf - 1] == '\r';
    lines.push_back({content.substr(pos, lf - pos - (crlf ? 1 : 0)), crlf ? "\r\n" : "\n"});
    pos = lf + 1;
  }
  return lines;
}

ParsedLine ParseLine(std::string_view text, bool first) {
  // A byte-order mark some editors put in front of the first line.
  if (first && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  text = Trim(text);
  ParsedLine parsed;
  if (text.empty() || text.front() == ';' || text.front() == '#') return parsed;
  if (text.front() == '[') {
    size_t close = text.find(']');
    parsed.kind = LineKind::kSection;
    parsed.name = Trim(text.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    return parsed;
  }
  size_t eq = text.find('=');
  if (eq == std::string_view::npos) return parsed;
  parsed.kind = LineKind::kKey;
  parsed.name = Trim(text.substr(0, eq));
  parsed.value = Trim(text.substr(eq + 1));
  return parsed;
}

// Where a key is, or would go, in the lines of a file.
struct KeyPlace {
  bool sectionFound = false;
  size_t keyLine = SIZE_MAX;      // the key's line, when found
  size_t insertAfter = SIZE_MAX;  // last non-empty line of the section
};

KeyPlace Locate(const std::vector<Line>& lines, std::string_view section, std::string_view key) {
  KeyPlace place;
  bool inside = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    ParsedLine parsed = ParseLine(lines[i].text, i == 0);
    if (parsed.kind == LineKind::kSection) {
      // Only the first section of the name counts.
      if (place.sectionFound) break;
      inside = SameName(parsed.name, section);
      if (inside) {
        place.sectionFound = true;
        place.insertAfter = i;
      }
      continue;
    }
    if (!inside) continue;
    if (!Trim(lines[i].text).empty()) place.insertAfter = i;
    if (parsed.kind == LineKind::kKey && SameName(parsed.name, key)) {
      place.keyLine = i;
      break;
    }
  }
  return place;
}

std::string Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return std::string(value);
}

bool NeedsQuotes(std::string_view value) {
  if (value.empty()) return false;
  if (IsBlank(value.front()) || IsBlank(value.back())) return true;
  return value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front();
}

bool HoldsLineBreak(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != s.npos;
}

}  // namespace

bool ParseIniInteger(std::string_view text, int32_t* value) {
  text = Trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  } else if (text.size() > 1 && text[0] == '$') {
    base = 16;
    text.remove_prefix(1);
  }
  // from_chars takes neither a sign nor blanks here; both were handled above.
  if (text.empty() || text.front() == '+' || text.front() == '-') return false;
  uint64_t magnitude = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (error != std::errc() || end != text.data() + text.size()) return false;
  const uint64_t limit = negative ? uint64_t(1) << 31 : (uint64_t(1) << 31) - 1;
  if (magnitude > limit) return false;
  *value = negative ? int32_t(-int64_t(magnitude)) : int32_t(magnitude);
  return true;
}

std::optional<std::string> TIniFile::Find(std::string_view section, std::string_view key) const {
  std::string content;
  if (!ReadWholeFile(fileName_, &content)) return std::nullopt;
  std::vector<Line> lines = SplitLines(content);
  KeyPlace place = Locate(lines, Trim(section), Trim(key));
  if (place.keyLine == SIZE_MAX) return std::nullopt;
  return Unquote(ParseLine(lines[place.keyLine].text, place.keyLine == 0).value);
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key, std::string_view defaultValue) const {
  std::optional<std::string> value = Find(section, key);
  return value ? *value : std::string(defaultValue);
}

int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key, int32_t defaultValue) const {
  std::optional<std::string> text = Find(section, key);
  int32_t value = defaultValue;
  if (text) ParseIniInteger(*text, &value);
  return value;
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool defaultValue) const {
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  section = Trim(section);
  key = Trim(key);
  auto refuse = [&](const char* why) {
    std::string message = "Cannot write [";
    message.append(section).append("] ").append(key).append(" to ").append(fileName_).append(": ").append(why);
    throw EIniError(message);
  };
  if (HoldsLineBreak(value)) refuse("the value holds a line break");
  if (section.empty() || HoldsLineBreak(section) || section.find(']') != section.npos)
    refuse("not a valid section name");
  if (key.empty() || HoldsLineBreak(key) || key.find('=') != key.npos || key.front() == '[' || key.front() == ';' ||
      key.front() == '#')
    refuse("not a valid key name");

  std::string content;
  if (!ReadWholeFile(fileName_, &content)) {
    // A file that is there but cannot be read would lose its other keys.
    if (errno != ENOENT) throw EFileWriteError(fileName_, errno);
    content.clear();
  }
  std::vector<Line> lines = SplitLines(content);
  // New lines follow the file's own line ends.
  std::string newline = !lines.empty() && lines.front().ending == "\r\n" ? "\r\n" : "\n";

  std::string text(value);
  if (NeedsQuotes(value)) text.insert(0, 1, '"').push_back('"');
  KeyPlace place = Locate(lines, section, key);
  if (place.keyLine != SIZE_MAX) {
    // Keep the key as the file spells it and any indentation before it.
    std::string& old = lines[place.keyLine].text;
    size_t keep = old.find('=');
    while (keep > 0 && IsBlank(old[keep - 1])) --keep;
    old = old.substr(0, keep) + "=" + text;
  } else {
    std::vector<Line> added;
    if (!place.sectionFound) {
      if (!lines.empty() && !Trim(lines.back().text).empty()) added.push_back({"", newline});
      std::string header(1, '[');
      header.append(section).push_back(']');
      added.push_back({header, newline});
    }
    added.push_back({std::string(key) + "=" + text, newline});
    size_t at = place.sectionFound ? place.insertAfter + 1 : lines.size();
    if (at > 0 && lines[at - 1].ending.empty()) lines[at - 1].ending = newline;
    lines.insert(lines.begin() + ptrdiff_t(at), added.begin(), added.end());
  }
  std::string out;
  out.reserve(content.size() + 64);
  for (const Line& line : lines) out += line.text + line.ending;
  ReplaceFileContent(fileName_, out);
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

}  // namespace rv
