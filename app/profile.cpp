// The settings-file layer on Linux: our own reading and editing of the
// initialisation file, with the behaviour the system's profile functions show
// on Windows. The file is only ever edited line by line: the lines we do not
// change are copied byte for byte, so comments, foreign sections and the
// file's own line ends survive a save.
#include "profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

#include "numrule.h"

namespace kelv::profile {

namespace {

using std::string_view;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

string_view Trim(string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool IsLeadByte(unsigned char c) {
  return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

unsigned char FoldAscii(unsigned char c) {
  return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

// Names compare without regard to ASCII case. The second byte of a double-byte
// character may look like an ASCII letter and is compared exactly, so two
// different Japanese names never match.
bool SameName(string_view a, string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto ca = static_cast<unsigned char>(a[i]);
    const auto cb = static_cast<unsigned char>(b[i]);
    if (IsLeadByte(ca)) {
      if (ca != cb || i + 1 >= a.size() || a[i + 1] != b[i + 1]) return false;
      ++i;
    } else if (FoldAscii(ca) != FoldAscii(cb)) {
      return false;
    }
  }
  return true;
}

// kBlank: empty, blanks only or a comment (";"); kStray: any other line that is
// neither "[name]" nor "name=value".
enum class Kind { kBlank, kStray, kSection, kKey };

// One line of the file: its text without the line end, and where the next
// line starts.
struct Line {
  size_t begin = 0;
  size_t end = 0;   // end of the text; the line end (LF, CR LF) follows
  size_t next = 0;  // start of the next line
  Kind kind = Kind::kBlank;
  string_view name;   // section or key name, blanks removed
  string_view value;  // key value, blanks removed
};

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

// Where a section/key lives in the content. Only the first section of the
// name counts, as with the system's functions.
struct Place {
  bool section_found = false;
  size_t section_last = 0;  // where the section's last non-blank line ends
  bool key_found = false;
  Line key;
};

Place Find(string_view content, string_view section, string_view key) {
  Place place;
  bool inside = false;
  for (size_t pos = 0; pos < content.size();) {
    const Line line = LineAt(content, pos);
    pos = line.next;
    if (line.kind == Kind::kSection) {
      if (inside) break;
      if (SameName(line.name, section)) {
        inside = place.section_found = true;
        place.section_last = line.next;
      }
    } else if (inside && line.kind != Kind::kBlank) {
      // New keys go after the section's last line of substance, so blank lines
      // and comments that lead into the next section stay in front of it.
      place.section_last = line.next;
      if (line.kind == Kind::kKey && !place.key_found && SameName(line.name, key)) {
        place.key_found = true;
        place.key = line;
      }
    }
  }
  return place;
}

bool HasLineBreakOrNul(string_view s) {
  return s.find_first_of(string_view("\r\n\0", 3)) != string_view::npos;
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

// Reads a whole regular file. false when it is missing (`missing` set) or
// cannot be read; a directory, device or pipe in its place is not a file.
bool Slurp(const std::string& path, std::string& out, bool& missing, struct stat* info = nullptr) {
  missing = false;
  out.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    missing = errno == ENOENT;
    return false;
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (info) *info = st;
  char buf[65536];
  while (ok) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  if (!ok) out.clear();
  return ok;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Replaces the file at `path` by `content` in one step: a temporary file beside
// it is written and synced, then renamed over it. On failure the old file is as
// it was and the temporary file is gone.
bool ReplaceFile(const std::string& path, const std::string& content, const struct stat* old) {
  std::string tmp;
  int fd = -1;
  for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    tmp = path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  bool ok = true;
  if (old) {
    // Keep the settings file's owner and permissions (best effort for the owner).
    if (::fchown(fd, old->st_uid, old->st_gid) != 0) {
      // Not permitted for a normal user; the file then belongs to the writer.
    }
    ok = ::fchmod(fd, old->st_mode & 07777) == 0;
  }
  ok = ok && WriteAll(fd, content) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(tmp.c_str());
    return false;
  }
  const int dir = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace

std::string Lookup(const std::string& content, const std::string& section, const std::string& key,
                   bool& found) {
  const Place place = Find(content, Trim(section), Trim(key));
  found = place.key_found;
  return found ? std::string(place.key.value) : std::string();
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

std::string ReadString(const std::string& section, const std::string& key, const std::string& def,
                       const std::string& path) {
  std::string content;
  bool missing = false;
  bool found = false;
  std::string value;
  if (Slurp(path, content, missing)) value = Lookup(content, section, key, found);
  if (!found) value = def;
  if (value.size() > kMaxValue) value.resize(kMaxValue);
  return value;
}

int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def,
                    const std::string& path) {
  return kelv::ParseNumber(ReadString(section, key, "", path)).value_or(def);
}

bool ReadBool(const std::string& section, const std::string& key, bool def,
              const std::string& path) {
  return ReadInteger(section, key, def ? 1 : 0, path) != 0;
}

std::vector<std::pair<std::string, std::string>> ReadSection(const std::string& section,
                                                             const std::string& path) {
  std::vector<std::pair<std::string, std::string>> out;
  std::string content;
  bool missing = false;
  if (!Slurp(path, content, missing)) return out;
  const string_view text(content);
  const string_view sec = Trim(section);
  bool inside = false;
  for (size_t pos = 0; pos < text.size();) {
    const Line line = LineAt(text, pos);
    pos = line.next;
    if (line.kind == Kind::kSection) {
      if (inside) break;
      inside = SameName(line.name, sec);
    } else if (inside && line.kind == Kind::kKey) {
      std::string value(line.value.substr(0, kMaxValue));
      out.emplace_back(std::string(line.name), std::move(value));
    }
  }
  return out;
}

bool WriteString(const std::string& section, const std::string& key, const std::string& value,
                 const std::string& path) {
  if (!Writable(Trim(section), Trim(key), value)) return false;
  // Edit the file a link points to, not the link.
  std::string target = path;
  struct stat lst {};
  if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return false;
    target = real;
    std::free(real);
  }

  std::string content;
  bool missing = false;
  struct stat st {};
  const bool exists = Slurp(target, content, missing, &st);
  if (!exists && !missing) return false;

  const std::string updated = Update(content, section, key, value);
  if (exists && updated == content) return true;
  return ReplaceFile(target, updated, exists ? &st : nullptr);
}

bool WriteInteger(const std::string& section, const std::string& key, int32_t value,
                  const std::string& path) {
  return WriteString(section, key, std::to_string(value), path);
}

// Nothing is cached between calls: every write is on disk when it returns.
void Flush(const std::string&) {}

}  // namespace kelv::profile
