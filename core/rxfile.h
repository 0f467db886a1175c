// Saving the received program.
#pragma once

#include <string>
#include <vector>

namespace kelv {

// File name of the received program, beside the executable.
inline constexpr const char kRxFileName[] = "Rx.nc";

// Writes `lines` to `path` (UTF-8, see fileio.h), each followed by CR LF,
// bytes as they are.
//
// The lines go to a new file in the same directory first, which then replaces
// `path` in one step: an existing file is either fully replaced or left as it
// was, never half overwritten, and no temporary file stays behind on failure.
// Empty `lines` touch nothing.
//
// Throws AppError: "ファイル "<path>" を作成できません。<system error>" when the
// file cannot be created or put in place, "ストリームへの書き込みエラー" when
// writing it fails.
void WriteRxFile(const std::string& path, const std::vector<std::string>& lines);

// The same for a content that is already the file's bytes (the lines with
// their CR LF, as a reception keeps them), written as it is. Empty `blocks`
// touch nothing.
void WriteRxFileBlocks(const std::string& path, const std::vector<std::string>& blocks);

// Earlier programs are kept beside the file as numbered copies, the newest
// first: "Rx.1.nc", "Rx.2.nc", ... (the number goes before the extension, so
// that editors and DNC tools still open them).
inline constexpr int kDefaultBackups = 5;
std::string BackupPath(const std::string& path, int n);

// Before `path` is replaced: its file becomes copy 1, copy n becomes n + 1,
// and the copy beyond `keep` goes. Nothing happens when there is no file or
// `keep` is 0 or less. `made`: the copy made (empty when none); `failure`:
// why it could not be made (code page 932; the file itself is untouched).
struct BackupResult {
  std::string made;
  std::string failure;
};
BackupResult KeepPrevious(const std::string& path, int keep);

}  // namespace kelv
