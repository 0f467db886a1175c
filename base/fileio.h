// Whole-file access for small files the program keeps beside itself (the
// settings file), one implementation per system (fileio_posix.cpp,
// fileio_win32.cpp) with the same rules.
//
// Paths are UTF-8 on every system. On Linux they are the file system's bytes
// as they are; on Windows they are converted to UTF-16 here, at the edge, and
// opened through the wide functions, so a folder name outside the system's
// ANSI code page and a path beyond MAX_PATH work. (Code page 932 is the
// program's text, not its paths: a path goes to a message through
// Utf8ToSjis.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace kelv::fileio {

enum class ReadResult { kOk, kMissing, kFailed };

// Reads a whole regular file into `out` (empty unless kOk). kMissing: nothing
// by that name. kFailed: not readable, or not a regular file (a directory, a
// device or a pipe in its place; a pipe never blocks the read).
ReadResult ReadWhole(const std::string& path, std::string& out);

// Gives the file at `path` the content `content`, or creates it.
//  - Normally through WriteReplacing: a failure leaves the old file as it was.
//  - When no new file may be made beside it (a folder the user may not write;
//    not a full disk, which fails) but the file itself may be written, it is
//    rewritten in place from the start, cut to length and synced. Should that fail, the old bytes
//    are put back as far as the disk allows.
//  - A file that is read-only (no write permission for anyone, the Windows
//    read-only attribute, or no write access for this user) is never
//    replaced: false, the file untouched.
// A link is followed: the file it leads to is written. Where another program
// holds the file for a moment (on Windows a virus scanner or the search
// indexer), the replacement is tried again for about half a second. Never
// leaves a temporary file behind, but for one case: should the system lose
// the old file half-way through its replacement and the new one then not go
// in its place, the new one stays beside it, as the only copy, and its path
// goes to `kept` (left empty otherwise).
bool SaveWhole(const std::string& path, const std::string& content, std::string* kept = nullptr);

// The name of the new file that a replacement of `path` writes first, at its
// `n`th try (a name another save holds is passed over): "<path>.tmp", this
// process's number, "-", n.
std::string TemporaryName(const std::string& path, unsigned n);

// Whether `file_name` is one that a save of the file `name` writes before it
// puts it in place (TemporaryName): "<name>.tmp", digits, "-", digits.
inline bool IsSaveTemporary(const std::string& file_name, const std::string& name) {
  const std::string stem = name + ".tmp";
  if (file_name.compare(0, stem.size(), stem) != 0) return false;
  size_t digits[2] = {0, 0};
  int part = 0;
  for (size_t i = stem.size(); i < file_name.size(); ++i) {
    const char c = file_name[i];
    if (c >= '0' && c <= '9') {
      ++digits[part];
    } else if (c == '-' && part == 0) {
      part = 1;
    } else {
      return false;
    }
  }
  return part == 1 && digits[0] > 0 && digits[1] > 0;
}

// When `path` is missing: the newest file beside it that a save left under
// its temporary name (see SaveWhole) is put in its place. True when one was.
bool AdoptLeftover(const std::string& path);

// Where WriteReplacing stopped, and the system's reason (code page 932 text)
// for kCreate and kPlace.
enum class ReplaceStep { kDone, kCreate, kWrite, kPlace };
struct ReplaceResult {
  ReplaceStep step = ReplaceStep::kDone;
  std::string reason;
  // kCreate only: the folder takes no new file from this user (as against a
  // full disk or a bad path).
  bool folder_denied = false;
  // kPlace only, Windows only: the system lost the old file half-way and the
  // new one could not take its name; it stays beside it under this name, as
  // the only copy.
  std::string kept;

  static ReplaceResult Stopped(ReplaceStep step, std::string reason, bool folder_denied = false) {
    ReplaceResult r;
    r.step = step;
    r.reason = std::move(reason);
    r.folder_denied = folder_denied;
    return r;
  }
};

// The one way a file is replaced. Hands `body` a writer for a new file beside
// `path` (TemporaryName), then syncs
// it and puts it in place of `path` in one step, keeping the old file's owner
// and permissions (on Windows its attributes and access rights). The writer
// returns false when a write failed; `body` returns false to give up
// (kWrite). A file held for a moment is waited for as by SaveWhole. But for
// `kept`, no temporary file stays behind, and an old `path` is either
// replaced whole or left as it was.
using ChunkWriter = std::function<bool(const char* data, size_t size)>;
ReplaceResult WriteReplacing(const std::string& path,
                             const std::function<bool(const ChunkWriter&)>& body);

// Gives the file `from` the name `to`, replacing a file of that name, in one
// step. kMissing: there is no `from`. kFailed comes with the system's reason
// (code page 932) in `reason` when given.
enum class MoveResult { kDone, kMissing, kFailed };
MoveResult MoveReplacing(const std::string& from, const std::string& to,
                         std::string* reason = nullptr);

// Appends `text` to the file at `path`, which is made when missing. False
// when it cannot be opened or written.
bool Append(const std::string& path, const std::string& text);

// The size of the regular file at `path`; false when there is none.
bool FileSize(const std::string& path, uint64_t& size);

}  // namespace kelv::fileio

namespace kelv::fileio {

// The directory of `path`: everything up to and including its last separator
// ("/" or "\\", the program's paths come from either system); "" when it has
// none.
inline std::string DirectoryOf(const std::string& path) {
  const size_t sep = path.find_last_of("/\\");
  return sep == std::string::npos ? std::string() : path.substr(0, sep + 1);
}

// What follows the directory.
inline std::string FileNameOf(const std::string& path) {
  return path.substr(DirectoryOf(path).size());
}

// The full path of the running executable as a UTF-8 path (on Windows from
// the system's wide module path); empty when the system cannot tell.
std::string ExecutablePath();

}  // namespace kelv::fileio
