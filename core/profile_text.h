// The text format of the initialisation file, shared by the settings-file
// layers of both systems: names, lines and what a line may hold. Internal to
// app/; callers use profile.h.
#pragma once

#include <cstddef>
#include <string_view>

namespace kelv::profile::text {

using std::string_view;

// Blanks (space, tab, CR, VT, FF) removed at both ends.
string_view Trim(string_view s);

// Names compare without regard to ASCII case; double-byte characters exactly.
bool SameName(string_view a, string_view b);

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

// Splits off the line at `pos` and classifies it.
Line LineAt(string_view content, size_t pos);

// A value as it is read: one pair of matching quotes (" or ') around it
// dropped, as the Windows profile functions read values; anything else as it
// is.
string_view Unquote(string_view value);

// What the file format can hold: a name or value that would split into more
// lines or be read back as something else is refused.
bool Writable(string_view section, string_view key, string_view value);

}  // namespace kelv::profile::text
