// The text format of the initialisation file, on contents in memory: finding
// a section/key and editing it line by line. The settings-file layer, the
// tests and the fuzzers share it.
#include "profile_text.h"

#include <string>

#include "profile.h"
#include "sjis.h"

namespace kelv::profile {

namespace text {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

bool HasLineBreakOrNul(string_view s) {
  return s.find_first_of(string_view("\r\n\0", 3)) != string_view::npos;
}

}  // namespace

string_view Trim(string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Names compare without regard to ASCII case (code page 932 aware).
bool SameName(string_view a, string_view b) {
  return SameIgnoringAsciiCase(a, b);
}

// Splits off the line at `pos` and classifies it. Only section and key lines
// ever match a name; all others are kept as they are.
Line LineAt(string_view content, size_t pos) {
  Line line;
  line.begin = pos;
  const size_t lf = content.find('\n', pos);
  line.next = lf == string_view::npos ? content.size() : lf + 1;
  line.end = lf == string_view::npos ? content.size() : lf;
  if (line.end > pos && content[line.end - 1] == '\r') --line.end;

  const string_view text = Trim(content.substr(pos, line.end - pos));
  if (text.empty() || text.front() == ';') return line;
  line.kind = Kind::kStray;
  if (text.front() == '[') {
    const size_t close = text.find(']');
    if (close == string_view::npos) return line;
    line.kind = Kind::kSection;
    line.name = Trim(text.substr(1, close - 1));
    return line;
  }
  const size_t eq = text.find('=');
  if (eq == string_view::npos) return line;
  line.kind = Kind::kKey;
  line.name = Trim(text.substr(0, eq));
  line.value = Trim(text.substr(eq + 1));
  return line;
}

SectionLines::SectionLines(string_view content, string_view name) : content_(content) {
  for (size_t pos = 0; pos < content.size();) {
    const Line line = LineAt(content, pos);
    pos = line.next;
    if (line.kind == Kind::kSection && SameName(line.name, name)) {
      body_ = pos_ = pos;
      return;
    }
  }
}

bool SectionLines::Next(Line& line) {
  if (!Found() || pos_ >= content_.size()) return false;
  line = LineAt(content_, pos_);
  if (line.kind == Kind::kSection) {
    pos_ = content_.size();
    return false;
  }
  pos_ = line.next;
  return true;
}

string_view Unquote(string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// What the file format can hold: a name or value that would split into more
// lines or be read back as something else is refused.
bool Writable(string_view section, string_view key, string_view value) {
  if (section.empty() || key.empty()) return false;
  if (HasLineBreakOrNul(section) || HasLineBreakOrNul(key) || HasLineBreakOrNul(value)) {
    return false;
  }
  if (section.find(']') != string_view::npos) return false;
  if (key.find('=') != string_view::npos || key.front() == '[' || key.front() == ';') return false;
  return true;
}

}  // namespace text

namespace {

using text::Kind;
using text::Line;
using text::LineAt;
using text::SameName;
using text::string_view;

// Where a section/key lives in the content.
struct Place {
  bool section_found = false;
  size_t section_last = 0;  // where the section's last non-blank line ends
  bool key_found = false;
  Line key;
};

Place Find(string_view content, string_view section, string_view key) {
  Place place;
  text::SectionLines lines(content, section);
  place.section_found = lines.Found();
  place.section_last = lines.Body();
  for (Line line; lines.Next(line);) {
    if (line.kind == Kind::kBlank) continue;
    // New keys go after the section's last line of substance, so blank lines
    // and comments that lead into the next section stay in front of it.
    place.section_last = line.next;
    if (line.kind == Kind::kKey && !place.key_found && SameName(line.name, key)) {
      place.key_found = true;
      place.key = line;
    }
  }
  return place;
}

}  // namespace

using text::Trim;
using text::Writable;

std::string Lookup(const std::string& content, const std::string& section, const std::string& key,
                   bool& found) {
  const Place place = Find(content, Trim(section), Trim(key));
  found = place.key_found;
  if (!found) return std::string();
  // A value ends at a CR or NUL inside its line. No written value can hold
  // them, so without the cut a caption read from a damaged file could never be
  // saved again, and the dialog never closed.
  const string_view value = place.key.value;
  return std::string(
      text::Unquote(Trim(value.substr(0, value.find_first_of(string_view("\r\0", 2))))));
}

std::string Update(const std::string& content, const std::string& section, const std::string& key,
                   const std::string& value) {
  const string_view sec = Trim(section);
  const string_view name = Trim(key);
  if (!Writable(sec, name, value)) return content;
  const Place place = Find(content, sec, name);
  const string_view text(content);

  if (place.key_found) {
    // The key keeps its spelling and its line end; only the value changes.
    std::string out;
    out.reserve(content.size() + value.size());
    out.append(text.substr(0, place.key.begin));
    out.append(place.key.name);
    out += '=';
    out += value;
    out.append(text.substr(place.key.end));
    return out;
  }

  std::string added = std::string(name) + "=" + value + "\r\n";
  size_t at = content.size();
  if (place.section_found) {
    at = place.section_last;
  } else {
    added = "[" + std::string(sec) + "]\r\n" + added;
  }
  // A last line without its line end gets one, so the new line starts afresh.
  if (at > 0 && at == content.size() && content.back() != '\n') added = "\r\n" + added;
  std::string out;
  out.reserve(content.size() + added.size());
  out.append(text.substr(0, at));
  out += added;
  out.append(text.substr(at));
  return out;
}

}  // namespace kelv::profile
