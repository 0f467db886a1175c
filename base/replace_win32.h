// Windows only: how a file written beside its target is put in its place.
//
// Virus scanners and the search indexer open a file just written, for a
// moment; the system's renames then fail with a sharing violation or "access
// denied". Such a rename is tried again for about half a second before it
// counts as failed. The two renames are passed in, so that what the system
// does only rarely (ReplaceFileW losing the old file half-way) can be played.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace kelv::fileio {

struct RenameCalls {
  // ReplaceFileW without a backup: the replaced file's attributes and access
  // rights pass to the replacement.
  std::function<BOOL(const wchar_t* replaced, const wchar_t* replacement)> replace;
  // MoveFileExW.
  std::function<BOOL(const wchar_t* from, const wchar_t* to, DWORD flags)> move;
};

// The system's own.
const RenameCalls& SystemRenames();

// How often a held file is tried, and the pause between two tries.
constexpr int kHeldTries = 10;
constexpr DWORD kHeldPauseMs = 50;

// The error codes of a file someone else holds open for a moment.
bool HeldByOthers(DWORD error);

enum class Placed {
  kDone,       // `tmp` is `path` now
  kFailed,     // `path` as it was; `tmp` is still there, for the caller to remove
  kKeptAside,  // the system lost the old `path` half-way and the new file could
               // not be moved in: it stays at `tmp`, the only copy
};

// Puts the closed file `tmp` in place of `path`: with `keep_rights` over the
// existing `path` by ReplaceFileW, otherwise by a move that replaces it. The
// last error is the system's reason when it is not kDone.
Placed PlaceFile(const std::wstring& tmp, const std::wstring& path, bool keep_rights,
                 const RenameCalls& calls = SystemRenames());

// For tests: the renames SaveWhole uses from now on (null: the system's).
void UseRenamesForSaves(const RenameCalls* calls);

}  // namespace kelv::fileio
