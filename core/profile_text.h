// The text format of the initialisation file: names, lines, the walk through
// a section and what a line may hold. Internal to the settings-file layer in
// core/; callers use profile.h.
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

// The lines of the first section named `name` (a later section of the same
// name does not count, as with the system's functions), from the line after
// its header up to the next section line. Reads and edits both walk a section
// this way, so they always agree on where a key is.
class SectionLines {
 public:
  SectionLines(string_view content, string_view name);
  bool Found() const { return body_ != string_view::npos; }
  // Where the line after the header starts (npos when not found).
  size_t Body() const { return body_; }
  // The next line inside the section; false at its end.
  bool Next(Line& line);

 private:
  string_view content_;
  size_t body_ = string_view::npos;
  size_t pos_ = 0;
};

// A value as it is read: one pair of matching quotes (" or ') around it
// dropped, as the Windows profile functions read values; anything else as it
// is.
string_view Unquote(string_view value);

// What the file format can hold: a name or value that would split into more
// lines or be read back as something else is refused.
bool Writable(string_view section, string_view key, string_view value);

}  // namespace kelv::profile::text
