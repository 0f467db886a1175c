// The window position carried by the first command-line argument.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kelv {

struct WindowPosition {
  int32_t left = 0;
  int32_t top = 0;
  bool operator==(const WindowPosition& o) const { return left == o.left && top == o.top; }
};

// Fields are split at commas and converted by the settings file's number rule
// (no default: an empty field fails). "L,T" gives left and top, a lone "T" gives
// left 0, "L,M,T" uses the first and the last (the middle one must still
// convert). Nothing when the argument is empty, any field fails, or it holds
// more than two commas: the window then stays where it is.
std::optional<WindowPosition> ParsePositionArgument(const std::string& arg);

}  // namespace kelv
