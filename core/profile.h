// Access to the initialisation (profile) file: the settings file "Kelv.ini".
//
// Each call names the file by full path (UTF-8, see fileio.h); no file stays
// open between calls. The same implementation serves every system, so the
// file's bytes never depend on the system's code page. Texts are code page 932
// bytes, read and written as they are.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kelv::profile {

// Longest value text a read returns, in bytes.
constexpr size_t kMaxValue = 2047;

// The value of section/key (names compared without regard to ASCII case,
// blanks around names and value not part of them, and one pair of matching
// quotes (" or ') around the value dropped), cut to kMaxValue bytes; the
// default when the file, section or key is missing. Never creates the file.
std::string ReadString(const std::string& section, const std::string& key, const std::string& def,
                       const std::string& path);
// ReadString with an empty default, then the number rule; `def` when missing or
// rejected.
int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def,
                    const std::string& path);
bool ReadBool(const std::string& section, const std::string& key, bool def,
              const std::string& path);

// All key/value pairs of a section, in file order (names as written; values
// as ReadString gives them); empty when the file or section is missing.
std::vector<std::pair<std::string, std::string>> ReadSection(const std::string& section,
                                                             const std::string& path);

// The file read once, its keys looked up in memory by the rules of the reads
// above: every key of a start-up comes from one state of the file, and a
// file that another program holds costs one wait, not one per key.
class Snapshot {
 public:
  explicit Snapshot(const std::string& path);
  // The file is there but could not be read (held past the wait, no
  // permission, not a regular file). A missing file is no failure: every key
  // has its default.
  bool Failed() const { return failed_; }
  std::string String(const std::string& section, const std::string& key,
                     const std::string& def) const;
  int32_t Integer(const std::string& section, const std::string& key, int32_t def) const;
  bool Bool(const std::string& section, const std::string& key, bool def) const;
  std::vector<std::pair<std::string, std::string>> Section(const std::string& section) const;

 private:
  std::string content_;
  bool failed_ = false;
};

// Replaces the key's value on its own line, or adds the key at the end of its
// section, or the section at the end of the file; every other line stays byte
// for byte. New lines end with CR LF. Creates a missing file. The file is
// written as fileio::SaveWhole does (in one step where the folder allows, in
// place where only the file may be written, never when it is read-only), and
// not at all when its bytes would not change. false (old file untouched) when
// it cannot be written or a name or value cannot be held by the file.
bool WriteString(const std::string& section, const std::string& key, const std::string& value,
                 const std::string& path);
bool WriteInteger(const std::string& section, const std::string& key, int32_t value,
                  const std::string& path);
// Several writes to one file, applied in order to its content in memory and
// written once: the bytes are those the single writes would leave, one after
// the other. All or nothing: false (file untouched) when any entry cannot be
// held or the file cannot be written.
struct Entry {
  std::string section;
  std::string key;
  std::string value;
};
// `kept`: as fileio::SaveWhole gives it.
bool WriteStrings(const std::vector<Entry>& entries, const std::string& path,
                  std::string* kept = nullptr);

// The pure core of the file layer, on file contents in memory (used by the
// file functions above and by tests and fuzzers).
// Lookup: sets `found` and returns the value (uncut, quotes dropped) when
// section/key exist.
std::string Lookup(const std::string& content, const std::string& section, const std::string& key,
                   bool& found);
// Update: returns the new content with section/key set to value.
std::string Update(const std::string& content, const std::string& section, const std::string& key,
                   const std::string& value);

}  // namespace kelv::profile
