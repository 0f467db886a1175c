// The settings-file layer on Linux: our own reading and editing of the
// initialisation file, with the behaviour the system's profile functions show
// on Windows. The file is only ever edited line by line: the lines we do not
// change are copied byte for byte, so comments, foreign sections and the
// file's own line ends survive a save.
#include "profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

#include "posixfile.h"
#include "profile_text.h"

namespace kelv::profile {

using text::Kind;
using text::Line;
using text::LineAt;
using text::SameName;
using text::Trim;
using text::Writable;

namespace {

using std::string_view;

// Reads a whole regular file. false when it is missing (`missing` set) or
// cannot be read; a directory, device or pipe in its place is not a file.
bool Slurp(const std::string& path, std::string& out, bool& missing, struct stat* info = nullptr) {
  missing = false;
  out.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    missing = errno == ENOENT;
    return false;
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (info) *info = st;
  char buf[65536];
  while (ok) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  if (!ok) out.clear();
  return ok;
}

// Replaces the file at `path` by `content` in one step: a temporary file beside
// it is written and synced, then renamed over it. On failure the old file is as
// it was and the temporary file is gone.
bool ReplaceFile(const std::string& path, const std::string& content, const struct stat* old) {
  std::string tmp;
  int fd = -1;
  for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    tmp = path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  bool ok = true;
  if (old) {
    // Keep the settings file's owner and permissions (best effort for the owner).
    if (::fchown(fd, old->st_uid, old->st_gid) != 0) {
      // Not permitted for a normal user; the file then belongs to the writer.
    }
    ok = ::fchmod(fd, old->st_mode & 07777) == 0;
  }
  ok = ok && posixfile::WriteAll(fd, content.data(), content.size()) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(tmp.c_str());
    return false;
  }
  posixfile::SyncDirectoryOf(path);
  return true;
}

}  // namespace

std::string ReadString(const std::string& section, const std::string& key, const std::string& def,
                       const std::string& path) {
  std::string content;
  bool missing = false;
  bool found = false;
  std::string value;
  if (Slurp(path, content, missing)) value = Lookup(content, section, key, found);
  if (!found) value = def;
  if (value.size() > kMaxValue) value.resize(kMaxValue);
  return value;
}

std::vector<std::pair<std::string, std::string>> ReadSection(const std::string& section,
                                                             const std::string& path) {
  std::vector<std::pair<std::string, std::string>> out;
  std::string content;
  bool missing = false;
  if (!Slurp(path, content, missing)) return out;
  const string_view text(content);
  const string_view sec = Trim(section);
  bool inside = false;
  for (size_t pos = 0; pos < text.size();) {
    const Line line = LineAt(text, pos);
    pos = line.next;
    if (line.kind == Kind::kSection) {
      if (inside) break;
      inside = SameName(line.name, sec);
    } else if (inside && line.kind == Kind::kKey) {
      std::string value(line.value.substr(0, kMaxValue));
      out.emplace_back(std::string(line.name), std::move(value));
    }
  }
  return out;
}

bool WriteString(const std::string& section, const std::string& key, const std::string& value,
                 const std::string& path) {
  if (!Writable(Trim(section), Trim(key), value)) return false;
  // Edit the file a link points to, not the link.
  std::string target = path;
  struct stat lst {};
  if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return false;
    target = real;
    std::free(real);
  }

  std::string content;
  bool missing = false;
  struct stat st {};
  const bool exists = Slurp(target, content, missing, &st);
  if (!exists && !missing) return false;

  const std::string updated = Update(content, section, key, value);
  if (exists && updated == content) return true;
  return ReplaceFile(target, updated, exists ? &st : nullptr);
}

bool WriteInteger(const std::string& section, const std::string& key, int32_t value,
                  const std::string& path) {
  return WriteString(section, key, std::to_string(value), path);
}

// Nothing is cached between calls: every write is on disk when it returns.
void Flush(const std::string&) {}

}  // namespace kelv::profile
