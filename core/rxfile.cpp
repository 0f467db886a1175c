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

// Writes the new file through `body`, then puts it in place of `path`.
void WriteInPlace(const std::string& path,
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
  WriteInPlace(path, [&lines](const fileio::ChunkWriter& write) {
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
  WriteInPlace(path, [&blocks](const fileio::ChunkWriter& write) {
    for (const std::string& b : blocks) {
      if (!write(b.data(), b.size())) return false;
    }
    return true;
  });
}

}  // namespace kelv
