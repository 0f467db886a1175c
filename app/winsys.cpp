// The window-system services that are the program's own rules, whatever the
// toolkit.
#include "winsys.h"

#include <chrono>
#include <thread>

#include "fileio.h"
#include "sjis.h"

namespace kelv::winsys {

std::string ApplicationTitleOf(const std::string& executable_path) {
  std::string name = fileio::FileNameOf(executable_path);
  const size_t dot = name.find('.');
  if (dot != std::string::npos) name.resize(dot);
  // The path is UTF-8, where an ASCII byte is always a character of its own;
  // only ASCII letters change case, as in the system's 8-bit code page.
  for (size_t i = 1; i < name.size(); ++i) {
    if (name[i] >= 'A' && name[i] <= 'Z') name[i] = static_cast<char>(name[i] - 'A' + 'a');
  }
  return Utf8ToSjis(name);
}

std::string ApplicationTitle() {
  return ApplicationTitleOf(ExecutablePath());
}

std::string ErrorBoxText(const std::string& message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + ".";
  return message;
}

void Sleep(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string ExecutablePath() {
  return fileio::ExecutablePath();
}

std::string ExecutableDir() {
  return fileio::DirectoryOf(ExecutablePath());
}

}  // namespace kelv::winsys
