#include "rxlog.h"

#include <cctype>
#include <ctime>

#include "fileio.h"
#include "rxfile.h"
#include "sjis.h"

namespace kelv {
namespace {

// A field never holds the separators of the log.
std::string Field(const std::string& text) {
  std::string f = text;
  for (char& c : f) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  return f.empty() ? "-" : f;
}

std::string Join(const std::vector<std::string>& fields) {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += '\t';
    line += fields[i];
  }
  return line + "\r\n";
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::string ReceptionLogHeading() {
  return Join({Sjis("日時"), Sjis("プリセット"), Sjis("ボタン名"), Sjis("ポート"),
               Sjis("ボーレート"), Sjis("コード"), Sjis("送信方法"), Sjis("バイト"), Sjis("行"),
               Sjis("プログラム番号"), Sjis("結果"), Sjis("回線エラー"), Sjis("保存先"),
               Sjis("バックアップ")});
}

std::string ReceptionLogLine(const ReceptionLogEntry& e) {
  return Join({Field(e.when), std::to_string(e.preset), Field(e.button), Field(e.port),
               std::to_string(e.baud), Field(e.code), Field(e.start_mode), std::to_string(e.bytes),
               std::to_string(e.lines), Field(e.program), Field(e.ending),
               e.errors.empty() ? Sjis("なし") : Field(e.errors), Field(e.file),
               Field(e.backup)});
}

bool AppendReceptionLog(const std::string& path, const std::string& line) {
  uint64_t size = 0;
  if (!fileio::FileSize(path, size)) size = 0;
  // Should the old one not move, the log goes on growing rather than lose lines.
  if (size >= kRxLogMax &&
      fileio::MoveReplacing(path, BackupPath(path, 1)) == fileio::MoveResult::kDone) {
    size = 0;
  }
  return fileio::Append(path, size == 0 ? ReceptionLogHeading() + line : line);
}

std::string FirstProgramNumber(const std::vector<std::string>& content) {
  for (const std::string& block : content) {
    // Stored lines hold no CR and no LF, so each CR LF ends one.
    for (size_t at = 0, end; (end = block.find("\r\n", at)) != std::string::npos; at = end + 2) {
      // An address word only where a block begins: after blanks, a block
      // delete "/" and a sequence number, in either order. Elsewhere an "O"
      // is part of another word ("GOTO10").
      size_t i = at;
      const auto blanks = [&] {
        while (i < end && (block[i] == ' ' || block[i] == '\t')) ++i;
      };
      const auto slash = [&] {
        blanks();
        if (i < end && block[i] == '/') ++i;
        blanks();
      };
      slash();
      if (i < end && block[i] == 'N' && i + 1 < end && IsDigit(block[i + 1])) {
        for (++i; i < end && IsDigit(block[i]);) ++i;
      }
      slash();
      if (i + 1 < end && (block[i] == 'O' || block[i] == ':') && IsDigit(block[i + 1])) {
        size_t last = i + 1;
        while (last < end && IsDigit(block[last])) ++last;
        return block.substr(i, last - i);
      }
    }
  }
  return std::string();
}

std::string LocalTimeText() {
  const std::time_t now = std::time(nullptr);
  // Only the user-interface thread logs.
  const std::tm* t = std::localtime(&now);
  char buf[32] = "";
  if (t) std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", t);
  return buf;
}

}  // namespace kelv
