#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "fileio.h"
#include "syserror.h"

namespace kelv::fileio {
namespace {

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Makes a rename inside the directory of `path` durable. Best effort: the file
// is in place whether or not this succeeds.
void SyncDirectoryOf(const std::string& path) {
  std::string dir = DirectoryOf(path);
  if (dir.empty()) dir = ".";
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

bool CloseFd(int fd) {
  return ::close(fd) == 0 || errno == EINTR;
}

int OpenRetry(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool ReadFd(int fd, std::string& out) {
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(buf, static_cast<size_t>(n));
  }
}

// Whether the existing file may be changed at all: some write permission bit
// (root writes a mode 0444 file anyway, but its owner meant it read-only) and
// write access for this user.
bool MayWrite(const std::string& path, const struct stat& st) {
  if ((st.st_mode & 0222) == 0) return false;
  const int fd = OpenRetry(path.c_str(), O_WRONLY | O_NONBLOCK);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool WriteFrom0(int fd, const std::string& content) {
  return ::lseek(fd, 0, SEEK_SET) == 0 && WriteAll(fd, content.data(), content.size()) &&
         ::ftruncate(fd, static_cast<off_t>(content.size())) == 0;
}

// Rewrites the file itself from the start, for a file in a folder the user may
// not write (which takes no new file beside it).
bool RewriteInPlace(const std::string& path, const std::string& content) {
  const int fd = OpenRetry(path.c_str(), O_RDWR | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  std::string old;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ReadFd(fd, old);
  if (ok) {
    ok = WriteFrom0(fd, content) && ::fsync(fd) == 0;
    // A short disk breaks the rewrite half-way: the old bytes took that room
    // before, so they fit again.
    if (!ok && WriteFrom0(fd, old)) ::fsync(fd);
  }
  ok = CloseFd(fd) && ok;
  return ok;
}

}  // namespace

std::string TemporaryName(const std::string& path, unsigned n) {
  return path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(n);
}

ReadResult ReadWhole(const std::string& path, std::string& out) {
  out.clear();
  const int fd = OpenRetry(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? ReadResult::kMissing : ReadResult::kFailed;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ReadFd(fd, out);
  ::close(fd);
  if (!ok) out.clear();
  return ok ? ReadResult::kOk : ReadResult::kFailed;
}

bool SaveWhole(const std::string& path, const std::string& content, std::string* kept) {
  if (kept) kept->clear();
  // Write the file a link points to, not the link.
  std::string target = path;
  struct stat lst {};
  if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return false;
    target = real;
    std::free(real);
  }
  struct stat st {};
  bool exists = ::stat(target.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) return false;
  if (exists && (!S_ISREG(st.st_mode) || !MayWrite(target, st))) return false;

  // Rewritten in place only where no new file may be made beside it.
  const ReplaceResult r = WriteReplacing(target, [&content](const ChunkWriter& write) {
    return write(content.data(), content.size());
  });
  return r.step == ReplaceStep::kDone ||
         (r.step == ReplaceStep::kCreate && r.folder_denied && exists &&
          RewriteInPlace(target, content));
}

ReplaceResult WriteReplacing(const std::string& path,
                             const std::function<bool(const ChunkWriter&)>& body) {
  // rename(2) replaces in one step: the old file is never lost half-way.
  struct stat old {};
  const bool exists = ::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  std::string tmp;
  int fd = -1;
  int err = EEXIST;
  for (unsigned attempt = 0; fd < 0 && err == EEXIST && attempt < 100; ++attempt) {
    tmp = TemporaryName(path, attempt);
    fd = OpenRetry(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    err = fd < 0 ? errno : 0;
  }
  if (fd < 0) {
    // A folder the user may not write, as against a full disk or a bad path.
    return ReplaceResult::Stopped(ReplaceStep::kCreate, SystemErrorText(err),
                                  err == EACCES || err == EPERM);
  }
  bool written = true;
  if (exists) {
    // Keep the file's owner (best effort: only root may give a file away) and
    // its permissions.
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
      // The new file then belongs to the writer.
    }
    written = ::fchmod(fd, old.st_mode & 07777) == 0;
  }
  const ChunkWriter write = [fd](const char* data, size_t size) {
    return WriteAll(fd, data, size);
  };
  try {
    written = written && body(write) && ::fsync(fd) == 0;
  } catch (...) {
    CloseFd(fd);
    ::unlink(tmp.c_str());
    throw;
  }
  ReplaceResult r;
  if (!CloseFd(fd) || !written) {
    r.step = ReplaceStep::kWrite;
  } else if (::rename(tmp.c_str(), path.c_str()) != 0) {
    r = ReplaceResult::Stopped(ReplaceStep::kPlace, SystemErrorText(errno));
  } else {
    SyncDirectoryOf(path);
    return r;
  }
  ::unlink(tmp.c_str());
  return r;
}

bool AdoptLeftover(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 || errno != ENOENT) return false;
  const std::string dir = DirectoryOf(path);
  const std::string name = FileNameOf(path);
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return false;
  std::string newest;
  struct timespec newest_time {};
  while (const dirent* e = ::readdir(d)) {
    if (!IsSaveTemporary(e->d_name, name)) continue;
    const std::string p = dir + e->d_name;
    if (::stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    const struct timespec t = st.st_mtim;
    if (newest.empty() || t.tv_sec > newest_time.tv_sec ||
        (t.tv_sec == newest_time.tv_sec && t.tv_nsec > newest_time.tv_nsec)) {
      newest = p;
      newest_time = t;
    }
  }
  ::closedir(d);
  // A link, not a rename: a file that appeared meanwhile is not ours to
  // overwrite. The leftover's name goes once the file has its own.
  if (newest.empty() || ::link(newest.c_str(), path.c_str()) != 0) return false;
  ::unlink(newest.c_str());
  SyncDirectoryOf(path);
  return true;
}

MoveResult MoveReplacing(const std::string& from, const std::string& to, std::string* reason) {
  if (::rename(from.c_str(), to.c_str()) == 0) {
    SyncDirectoryOf(to);
    return MoveResult::kDone;
  }
  if (errno == ENOENT && ::access(from.c_str(), F_OK) != 0) return MoveResult::kMissing;
  if (reason) *reason = SystemErrorText(errno);
  return MoveResult::kFailed;
}

bool Append(const std::string& path, const std::string& text) {
  const int fd = OpenRetry(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK, 0666);
  if (fd < 0) return false;
  struct stat st {};
  const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                  WriteAll(fd, text.data(), text.size());
  return CloseFd(fd) && ok;
}

bool FileSize(const std::string& path, uint64_t& size) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

std::string ExecutablePath() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace kelv::fileio
