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

}  // namespace kelv
