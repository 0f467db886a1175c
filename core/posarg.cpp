#include "posarg.h"

#include "numrule.h"

namespace kelv {

std::optional<WindowPosition> ParsePositionArgument(const std::string& arg) {
  if (arg.empty()) return std::nullopt;

  // Entry 0 is never written; the first comma fills entry 1, the second and the
  // end of the text entry 2.
  int32_t entries[3] = {0, 0, 0};
  int field = 0;
  std::string text;
  for (char c : arg) {
    if (c != ',') {
      text += c;
      continue;
    }
    ++field;
    // Only two entries exist: a third comma would have nowhere to go.
    if (field > 2) return std::nullopt;
    std::optional<int32_t> v = ParseNumber(text);
    if (!v) return std::nullopt;
    entries[field] = *v;
    text.clear();
  }
  std::optional<int32_t> last = ParseNumber(text);
  if (!last) return std::nullopt;
  entries[2] = *last;
  return WindowPosition{entries[1], entries[2]};
}

}  // namespace kelv
