#include "rxfile.h"

#include "apperror.h"
#include "fileio.h"
#include "sjis.h"

namespace kelv {
namespace {

constexpr size_t kChunk = 64 * 1024;

// Paths are UTF-8 (fileio.h), the message code page 932.
[[noreturn]] void ThrowCreate(const std::string& path, const std::string& reason) {
  throw AppError(Sjis("ファイル \"") + Utf8ToSjis(path) + Sjis("\" を作成できません。") + reason);
}

[[noreturn]] void ThrowWrite() {
  throw AppError(Sjis("ストリームへの書き込みエラー"));
}

// Writes the new file through `body` and puts it in place of `path` in one
// step; a failure leaves the old file and becomes the dialog's message.
void ReplaceOrThrow(const std::string& path,
                    const std::function<bool(const fileio::ChunkWriter&)>& body) {
  const fileio::ReplaceResult r = fileio::WriteReplacing(path, body);
  switch (r.step) {
    case fileio::ReplaceStep::kDone:
      return;
    case fileio::ReplaceStep::kWrite:
      ThrowWrite();
    case fileio::ReplaceStep::kCreate:
    case fileio::ReplaceStep::kPlace:
      ThrowCreate(path, r.reason);
  }
}

}  // namespace


void WriteRxFile(const std::string& path, const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  ReplaceOrThrow(path, [&lines](const fileio::ChunkWriter& write) {
    std::string buf;
    buf.reserve(kChunk + 2);
    for (const std::string& line : lines) {
      if (buf.size() + line.size() + 2 > kChunk) {
        if (!write(buf.data(), buf.size())) return false;
        buf.clear();
      }
      if (line.size() + 2 > kChunk) {
        // A very long line goes out directly instead of through the buffer.
        if (!write(line.data(), line.size())) return false;
      } else {
        buf += line;
      }
      buf += "\r\n";
    }
    return write(buf.data(), buf.size());
  });
}

void WriteRxFileBlocks(const std::string& path, const std::vector<std::string>& blocks) {
  if (blocks.empty()) return;
  ReplaceOrThrow(path, [&blocks](const fileio::ChunkWriter& write) {
    for (const std::string& b : blocks) {
      if (!write(b.data(), b.size())) return false;
    }
    return true;
  });
}

std::string BackupPath(const std::string& path, int n) {
  const size_t name = fileio::DirectoryOf(path).size();
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot <= name) dot = path.size();
  return path.substr(0, dot) + "." + std::to_string(n) + path.substr(dot);
}

BackupResult KeepPrevious(const std::string& path, int keep) {
  BackupResult r;
  // No program there (nothing, or a directory in the way): nothing to keep.
  uint64_t size = 0;
  if (keep <= 0 || !fileio::FileSize(path, size)) return r;
  std::string old;
  if (fileio::ReadWhole(path, old) != fileio::ReadResult::kOk) {
    r.failure = Sjis("読めません");
    return r;
  }
  // Oldest first, so that each move lands on a name already moved on.
  for (int n = keep - 1; n >= 1; --n) {
    std::string reason;
    if (fileio::MoveReplacing(BackupPath(path, n), BackupPath(path, n + 1), &reason) ==
        fileio::MoveResult::kFailed) {
      r.failure = reason;
      return r;
    }
  }
  // A copy, not a move: Rx.nc stays until the new one replaces it whole.
  const std::string copy = BackupPath(path, 1);
  if (!fileio::SaveWhole(copy, old)) {
    r.failure = Sjis("書き込めません");
    return r;
  }
  r.made = copy;
  return r;
}

}  // namespace kelv
