// The rows of a parameterised test print as their name in the test's output.
// A test file brings this in beside its rows with `using testrows::operator<<;`.
#pragma once

#include <ostream>

namespace testrows {

template <class Row>
auto operator<<(std::ostream& os, const Row& row) -> decltype(os << row.name) {
  return os << row.name;
}

}  // namespace testrows
