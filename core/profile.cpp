// The settings-file layer, the same on every system: our own reading and
// editing of the initialisation file, with the observable rules of the
// Windows profile functions. The file is only ever edited line by line: the
// lines we do not change are copied byte for byte, so comments, foreign
// sections and the file's own line ends survive a save. File access is
// fileio's, which is where the systems differ.
#include "profile.h"

#include "fileio.h"
#include "numrule.h"
#include "profile_text.h"

namespace kelv::profile {

using text::Kind;
using text::Line;
using text::Trim;
using text::Writable;

Snapshot::Snapshot(const std::string& path)
    : failed_(fileio::ReadWhole(path, content_) == fileio::ReadResult::kFailed) {}

std::string Snapshot::String(const std::string& section, const std::string& key,
                             const std::string& def) const {
  bool found = false;
  std::string value = Lookup(content_, section, key, found);
  if (!found) value = def;
  if (value.size() > kMaxValue) value.resize(kMaxValue);
  return value;
}

// Both systems read numbers the same way: the string, then the number rule.
int32_t Snapshot::Integer(const std::string& section, const std::string& key, int32_t def) const {
  return kelv::ParseNumber(String(section, key, "")).value_or(def);
}

bool Snapshot::Bool(const std::string& section, const std::string& key, bool def) const {
  return Integer(section, key, def ? 1 : 0) != 0;
}

std::vector<std::pair<std::string, std::string>> Snapshot::Section(
    const std::string& section) const {
  std::vector<std::pair<std::string, std::string>> out;
  text::SectionLines lines(content_, Trim(section));
  for (Line line; lines.Next(line);) {
    if (line.kind != Kind::kKey) continue;
    out.emplace_back(std::string(line.name),
                     std::string(text::Unquote(line.value).substr(0, kMaxValue)));
  }
  return out;
}

std::string ReadString(const std::string& section, const std::string& key, const std::string& def,
                       const std::string& path) {
  return Snapshot(path).String(section, key, def);
}

int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def,
                    const std::string& path) {
  return Snapshot(path).Integer(section, key, def);
}

bool ReadBool(const std::string& section, const std::string& key, bool def,
              const std::string& path) {
  return Snapshot(path).Bool(section, key, def);
}

std::vector<std::pair<std::string, std::string>> ReadSection(const std::string& section,
                                                             const std::string& path) {
  return Snapshot(path).Section(section);
}

bool WriteStrings(const std::vector<Entry>& entries, const std::string& path, std::string* kept) {
  if (kept) kept->clear();
  for (const Entry& e : entries) {
    if (!Writable(Trim(e.section), Trim(e.key), e.value)) return false;
  }
  std::string content;
  const fileio::ReadResult read = fileio::ReadWhole(path, content);
  if (read == fileio::ReadResult::kFailed) return false;
  std::string updated = content;
  for (const Entry& e : entries) updated = Update(updated, e.section, e.key, e.value);
  // Nothing to change, nothing to write: a protected file with the values
  // already in it lets the save pass.
  if (read == fileio::ReadResult::kOk && updated == content) return true;
  return fileio::SaveWhole(path, updated, kept);
}

bool WriteString(const std::string& section, const std::string& key, const std::string& value,
                 const std::string& path) {
  return WriteStrings({{section, key, value}}, path);
}

bool WriteInteger(const std::string& section, const std::string& key, int32_t value,
                  const std::string& path) {
  return WriteString(section, key, std::to_string(value), path);
}

}  // namespace kelv::profile
