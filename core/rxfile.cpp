#include "rxfile.h"

#include <cerrno>
#include <cstring>

#include "apperror.h"
#include "sjis.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include "widepath.h"
#else
#include <fcntl.h>
#include <unistd.h>

#include "posixfile.h"
#endif

namespace kelv {
namespace {

// How many alternative temporary names to try when earlier ones are taken
// (a stale file from an interrupted save, or anything else in the way).
constexpr int kTempNameTries = 100;
constexpr size_t kChunk = 64 * 1024;

// Paths are UTF-8 (fileio.h), the message code page 932.
[[noreturn]] void ThrowCreate(const std::string& path, const std::string& reason) {
  throw AppError(Sjis("ファイル \"") + Utf8ToSjis(path) + Sjis("\" を作成できません。") + reason);
}

[[noreturn]] void ThrowWrite() {
  throw AppError(Sjis("ストリームへの書き込みエラー"));
}

std::string ErrnoText(int err) {
  return std::strerror(err);
}

#ifdef _WIN32

// Through wide paths: a folder name outside the system's code page works.
int CreateExclusive(const std::string& name) {
  return _wsopen(fileio::WidePath(name).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                 _SH_DENYRW, _S_IREAD | _S_IWRITE);
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const unsigned part = size > (1u << 30) ? (1u << 30) : static_cast<unsigned>(size);
    const int n = _write(fd, data, part);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool SyncFile(int fd) {
  return _commit(fd) == 0;
}
bool CloseFile(int fd) {
  return _close(fd) == 0;
}
void RemoveFile(const std::string& name) {
  _wunlink(fileio::WidePath(name).c_str());
}

// The system's own text, converted to the program's code page 932 whatever
// the system's code page is.
std::string LastErrorText() {
  const DWORD code = GetLastError();
  wchar_t buf[512];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, buf, sizeof buf / sizeof buf[0], nullptr);
  while (n > 0 && (buf[n - 1] == L'\r' || buf[n - 1] == L'\n')) --n;
  if (n == 0) return "error " + std::to_string(code);
  return Utf8ToSjis(fileio::Utf8FromWide(std::wstring(buf, n)));
}

// Replaces `path`; on failure returns false with the reason.
bool PutInPlace(const std::string& from, const std::string& path, std::string& reason) {
  if (MoveFileExW(fileio::WidePath(from).c_str(), fileio::WidePath(path).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  reason = LastErrorText();
  return false;
}

#else

int CreateExclusive(const std::string& name) {
  int fd;
  do {
    fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

using posixfile::WriteAll;

bool SyncFile(int fd) {
  return ::fsync(fd) == 0;
}
bool CloseFile(int fd) {
  return ::close(fd) == 0 || errno == EINTR;
}
void RemoveFile(const std::string& name) {
  ::unlink(name.c_str());
}

bool PutInPlace(const std::string& from, const std::string& path, std::string& reason) {
  if (::rename(from.c_str(), path.c_str()) != 0) {
    reason = ErrnoText(errno);
    return false;
  }
  // Make the new directory entry durable too.
  posixfile::SyncDirectoryOf(path);
  return true;
}

#endif

// Removes the temporary file unless it was put in place.
class TempFile {
 public:
  explicit TempFile(const std::string& path) {
    for (int i = 0; i < kTempNameTries && fd_ < 0; ++i) {
      name_ = path + ".tmp" + (i == 0 ? std::string() : std::to_string(i));
      fd_ = CreateExclusive(name_);
      if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) {
      const int err = errno;
      name_.clear();
      ThrowCreate(path, ErrnoText(err));
    }
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (fd_ >= 0) CloseFile(fd_);
    if (!name_.empty()) RemoveFile(name_);
  }

  int fd() const { return fd_; }
  const std::string& name() const { return name_; }
  // Closes the descriptor; false when the close reports a failed write.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return CloseFile(fd);
  }
  void Release() { name_.clear(); }

 private:
  std::string name_;
  int fd_ = -1;
};

}  // namespace

namespace {

// Writes the new file through `body`, then puts it in place of `path`.
template <class Body>
void WriteInPlace(const std::string& path, Body body) {
  TempFile tmp(path);
  body(tmp.fd());
  if (!SyncFile(tmp.fd())) ThrowWrite();
  if (!tmp.Close()) ThrowWrite();

  std::string reason;
  if (!PutInPlace(tmp.name(), path, reason)) ThrowCreate(path, reason);
  tmp.Release();
}

}  // namespace

void WriteRxFile(const std::string& path, const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  WriteInPlace(path, [&lines](int fd) {
    std::string buf;
    buf.reserve(kChunk + 2);
    for (const std::string& line : lines) {
      if (buf.size() + line.size() + 2 > kChunk) {
        if (!WriteAll(fd, buf.data(), buf.size())) ThrowWrite();
        buf.clear();
      }
      if (line.size() + 2 > kChunk) {
        // A very long line goes out directly instead of through the buffer.
        if (!WriteAll(fd, line.data(), line.size())) ThrowWrite();
      } else {
        buf += line;
      }
      buf += "\r\n";
    }
    if (!WriteAll(fd, buf.data(), buf.size())) ThrowWrite();
  });
}

void WriteRxFileBlocks(const std::string& path, const std::vector<std::string>& blocks) {
  if (blocks.empty()) return;
  WriteInPlace(path, [&blocks](int fd) {
    for (const std::string& b : blocks) {
      if (!WriteAll(fd, b.data(), b.size())) ThrowWrite();
    }
  });
}

}  // namespace kelv
