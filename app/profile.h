// Access to the initialisation (profile) file: the settings file "Kelv.ini".
//
// Each call names the file by full path; no file stays open between calls.
// On Windows these call the system's profile functions; elsewhere they are our
// own implementation with the same observable behaviour. Texts are code page
// 932 bytes.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kelv::profile {

// Longest value text a read returns, in bytes.
constexpr size_t kMaxValue = 2047;

// The value of section/key (names compared without regard to ASCII case,
// blanks around names and value not part of them), cut to kMaxValue bytes; the
// default when the file, section or key is missing. Never creates the file.
std::string ReadString(const std::string& section, const std::string& key, const std::string& def,
                       const std::string& path);
// ReadString with an empty default, then the number rule; `def` when missing or
// rejected.
int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def,
                    const std::string& path);
bool ReadBool(const std::string& section, const std::string& key, bool def,
              const std::string& path);

// All key/value pairs of a section, in file order (names as written, blanks
// around them removed); empty when the file or section is missing.
std::vector<std::pair<std::string, std::string>> ReadSection(const std::string& section,
                                                             const std::string& path);

// Replaces the key's value on its own line, or adds the key at the end of its
// section, or the section at the end of the file; every other line stays byte
// for byte. New lines end with CR LF. Creates a missing file. The file is
// replaced atomically; false (old file untouched) when it cannot be written.
bool WriteString(const std::string& section, const std::string& key, const std::string& value,
                 const std::string& path);
bool WriteInteger(const std::string& section, const std::string& key, int32_t value,
                  const std::string& path);
// Flushes any cached state of the file (the profile functions' flush call).
void Flush(const std::string& path);

// The pure core of the file layer, on file contents in memory (used by the
// file functions above and by tests and fuzzers).
// Lookup: sets `found` and returns the value (uncut) when section/key exist.
std::string Lookup(const std::string& content, const std::string& section, const std::string& key,
                   bool& found);
// Update: returns the new content with section/key set to value.
std::string Update(const std::string& content, const std::string& section, const std::string& key,
                   const std::string& value);

}  // namespace kelv::profile
