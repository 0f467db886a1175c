// An error that escapes an event handler; its message is code page 932 bytes and
// is shown by the general error box (winsys.h).
#pragma once

#include <stdexcept>
#include <string>

namespace kelv {

class AppError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace kelv
