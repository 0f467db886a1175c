// The settings-file layer on any file content: what is written reads back,
// every line it does not own stays byte for byte, other keys keep their
// values, and a read never returns more than 2047 bytes.
//
// Input: one flag byte, then section, key, value and default (each a
// backslash-terminated string), then the file content.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "check.h"
#include "numrule.h"
#include "profile.h"

namespace {

namespace profile = kelv::profile;

std::string g_dir;
std::string g_path;

bool Blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && Blank(s[b])) ++b;
  while (e > b && Blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool HasBreakOrNul(const std::string& s) {
  return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}
bool BlankEnds(const std::string& s) {
  return !s.empty() && (Blank(s.front()) || Blank(s.back()));
}

// Names and values a line of the file can carry and give back unchanged.
bool Holdable(const std::string& section, const std::string& key, const std::string& value) {
  if (section.empty() || key.empty()) return false;
  if (HasBreakOrNul(section) || HasBreakOrNul(key) || HasBreakOrNul(value)) return false;
  if (BlankEnds(section) || BlankEnds(key) || BlankEnds(value)) return false;
  // A value in one pair of matching quotes reads back without them.
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
    return false;
  }
  if (section.find(']') != std::string::npos) return false;
  if (key.find('=') != std::string::npos || key[0] == '[' || key[0] == ';') return false;
  return true;
}

std::string FoldAscii(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

bool AllAscii(const std::string& s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// The lines of a text, each with its LF (the last one may lack it).
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t lf = text.find('\n', pos);
    size_t next = lf == std::string::npos ? text.size() : lf + 1;
    lines.push_back(text.substr(pos, next - pos));
    pos = next;
  }
  return lines;
}

std::string Ending(const std::string& line) {
  if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) return "\r\n";
  if (!line.empty() && line.back() == '\n') return "\n";
  return "";
}

// Section/key pairs as a plain reader sees them in the content, for checking
// that a write leaves them alone.
std::vector<std::pair<std::string, std::string>> PairsIn(const std::string& content) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::string section;
  for (const std::string& raw : SplitLines(content)) {
    const std::string line = Trim(raw.back() == '\n' ? raw.substr(0, raw.size() - 1) : raw);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      const size_t close = line.find(']');
      if (close != std::string::npos) section = Trim(line.substr(1, close - 1));
      continue;
    }
    const size_t eq = line.find('=');
    if (eq != std::string::npos && pairs.size() < 16) {
      pairs.emplace_back(section, Trim(line.substr(0, eq)));
    }
  }
  return pairs;
}

// The write kept every line it does not own: at most one existing line changed
// (its line end kept), or new lines inserted in one place (the file's last line
// may gain the line end it lacked).
void CheckLinesKept(const std::string& before, const std::string& after, bool key_existed) {
  const std::vector<std::string> a = SplitLines(before);
  const std::vector<std::string> b = SplitLines(after);
  if (key_existed || a.size() == b.size()) {
    FUZZ_CHECK(a.size() == b.size());
    size_t changed = 0;
    for (size_t i = 0; i < a.size(); ++i) {
      if (a[i] == b[i]) continue;
      ++changed;
      FUZZ_CHECK(Ending(a[i]) == Ending(b[i]));
    }
    FUZZ_CHECK(changed <= 1);
    return;
  }
  FUZZ_CHECK(b.size() > a.size());
  size_t head = 0;
  while (head < a.size() && a[head] == b[head]) ++head;
  size_t inserted_at = head;
  if (head < a.size()) {
    if (head + 1 == a.size() && Ending(a[head]).empty() && b[head] == a[head] + "\r\n") {
      inserted_at = head + 1;  // the unterminated last line got its line end
    } else {
      inserted_at = head;
    }
  }
  const size_t added = b.size() - a.size();
  FUZZ_CHECK(added <= 2);  // the key line, and its section line when new
  for (size_t i = inserted_at; i < a.size(); ++i) FUZZ_CHECK(a[i] == b[i + added]);
  for (size_t i = inserted_at; i < inserted_at + added; ++i) FUZZ_CHECK(Ending(b[i]) == "\r\n");
}

std::string ReadFile(const std::string& path) {
  std::string out;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
  }
  return out;
}

void WriteFile(const std::string& path, const std::string& content) {
  FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(std::fwrite(content.data(), 1, content.size(), f) == content.size());
  FUZZ_CHECK(std::fclose(f) == 0);
}

void RemoveDir() {
  std::remove(g_path.c_str());
  rmdir(g_dir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/kelv-profile-fuzz-XXXXXX";
  FUZZ_CHECK(mkdtemp(dir.data()) != nullptr);
  g_dir = dir;
  g_path = dir + "/Kelv.ini";
  std::atexit(RemoveDir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const uint8_t flags = in.ConsumeIntegral<uint8_t>();
  std::string section = in.ConsumeRandomLengthString(40);
  std::string key = in.ConsumeRandomLengthString(40);
  std::string value = in.ConsumeRandomLengthString(200);
  const std::string def = in.ConsumeRandomLengthString(8);
  const std::string content = in.ConsumeRemainingBytesAsString();

  const std::vector<std::pair<std::string, std::string>> pairs = PairsIn(content);
  if ((flags & 1) && !pairs.empty()) {
    // Aim at a key the content holds, so replacing is exercised as much as adding.
    const auto& p = pairs[(flags >> 4) % pairs.size()];
    section = p.first;
    key = p.second;
  }
  if ((flags & 2) && !value.empty()) {
    // Longer than a read may return.
    while (value.size() <= profile::kMaxValue + 8) value += value;
  }
  if (flags & 4) {
    section = FoldAscii(section);
    key = FoldAscii(key);
  }

  // Lookup gives a piece of one line of the content, or nothing.
  bool found = false;
  const std::string old_value = profile::Lookup(content, section, key, found);
  if (found) {
    FUZZ_CHECK(old_value.find('\n') == std::string::npos);
    FUZZ_CHECK(content.find(old_value) != std::string::npos);
  } else {
    FUZZ_CHECK(old_value.empty());
  }
  // Names compare without regard to ASCII case.
  if (AllAscii(section) && AllAscii(key)) {
    bool found_upper = false;
    FUZZ_CHECK(profile::Lookup(content, FoldAscii(section), FoldAscii(key), found_upper) ==
               old_value);
    FUZZ_CHECK(found_upper == found);
  }

  const std::string updated = profile::Update(content, section, key, value);
  CheckLinesKept(content, updated, found);

  const bool holdable = Holdable(section, key, value);
  if (holdable) {
    bool again = false;
    FUZZ_CHECK(profile::Lookup(updated, section, key, again) == value);
    FUZZ_CHECK(again);
    FUZZ_CHECK(profile::Update(updated, section, key, value) == updated);
    if (!found) {
      const std::vector<std::string> lines = SplitLines(updated);
      FUZZ_CHECK(std::find(lines.begin(), lines.end(), key + "=" + value + "\r\n") != lines.end());
    }
  }
  // Other keys keep their values.
  for (const auto& [s2, k2] : pairs) {
    if (FoldAscii(Trim(s2)) == FoldAscii(Trim(section)) &&
        FoldAscii(Trim(k2)) == FoldAscii(Trim(key))) {
      continue;
    }
    bool f1 = false, f2 = false;
    const std::string v1 = profile::Lookup(content, s2, k2, f1);
    const std::string v2 = profile::Lookup(updated, s2, k2, f2);
    FUZZ_CHECK(f1 == f2 && v1 == v2);
  }

  // The same through the file: reads are cut at 2047 bytes and fall back to
  // the default; a write leaves exactly what Update gives.
  WriteFile(g_path, content);
  const std::string read = profile::ReadString(section, key, def, g_path);
  FUZZ_CHECK(read.size() <= profile::kMaxValue);
  FUZZ_CHECK(read == (found ? old_value : def).substr(0, profile::kMaxValue));
  FUZZ_CHECK(profile::ReadInteger(section, key, -7, g_path) ==
             kelv::ParseNumber(found ? old_value.substr(0, profile::kMaxValue) : "").value_or(-7));
  for (const auto& kv : profile::ReadSection(section, g_path)) {
    FUZZ_CHECK(kv.second.size() <= profile::kMaxValue);
  }
  FUZZ_CHECK(ReadFile(g_path) == content);  // reading never writes

  const bool wrote = profile::WriteString(section, key, value, g_path);
  if (holdable) FUZZ_CHECK(wrote);
  if (wrote) {
    FUZZ_CHECK(ReadFile(g_path) == updated);
    if (holdable) {
      FUZZ_CHECK(profile::ReadString(section, key, def, g_path) ==
                 value.substr(0, profile::kMaxValue));
    }
  } else {
    FUZZ_CHECK(ReadFile(g_path) == content);  // a refused write changes nothing
  }
  return 0;
}
