#include <windows.h>

#include "fileio.h"
#include "replace_win32.h"
#include "syserror.h"
#include "widepath.h"

namespace kelv::fileio {

std::wstring WideFromUtf8(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
  return w;
}

std::wstring WidePath(const std::string& utf8) {
  std::wstring w = WideFromUtf8(utf8);
  if (w.empty()) return {};
  for (wchar_t& c : w) {
    if (c == L'/') c = L'\\';
  }
  if (w.compare(0, 4, L"\\\\?\\") == 0 || w.compare(0, 4, L"\\\\.\\") == 0) return w;
  // "\\?\" turns off the system's own path clean-up: do it first.
  const DWORD full_len = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (full_len == 0) return w;
  std::wstring full(full_len, L'\0');
  const DWORD got = GetFullPathNameW(w.c_str(), full_len, full.data(), nullptr);
  if (got == 0 || got >= full_len) return w;
  full.resize(got);
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return L"\\\\?\\" + full;
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return full;
}

std::string Utf8FromWide(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int len = static_cast<int>(wide.size());
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), len, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), len, s.data(), n, nullptr, nullptr);
  return s;
}

bool HeldByOthers(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED || error == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

namespace {

// Runs `op` (true when it succeeded) again while the file is held by others;
// the last error stays the one of the last try.
template <class Op>
bool UntilFree(Op op) {
  for (int tries = 1;; ++tries) {
    if (op()) return true;
    const DWORD err = GetLastError();
    if (!HeldByOthers(err) || tries == kHeldTries) {
      SetLastError(err);
      return false;
    }
    Sleep(kHeldPauseMs);
  }
}

HANDLE OpenUntilFree(const std::wstring& path, DWORD access, DWORD share) {
  HANDLE h = INVALID_HANDLE_VALUE;
  UntilFree([&] {
    h = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                    nullptr);
    return h != INVALID_HANDLE_VALUE;
  });
  return h;
}

}  // namespace

const RenameCalls& SystemRenames() {
  static const RenameCalls calls{
      [](const wchar_t* replaced, const wchar_t* replacement) {
        // Whether another program holds the old file is asked first: Wine's
        // ReplaceFileW leaves an empty file of its own beside it each time.
        const HANDLE h =
            CreateFileW(replaced, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return FALSE;
        CloseHandle(h);
        return ReplaceFileW(replaced, replacement, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                            nullptr, nullptr);
      },
      [](const wchar_t* from, const wchar_t* to, DWORD flags) {
        return MoveFileExW(from, to, flags);
      }};
  return calls;
}

Placed PlaceFile(const std::wstring& tmp, const std::wstring& path, bool keep_rights,
                 const RenameCalls& calls) {
  const auto move_in = [&] {
    return UntilFree([&] {
      return calls.move(tmp.c_str(), path.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    });
  };
  if (!keep_rights) return move_in() ? Placed::kDone : Placed::kFailed;
  if (UntilFree([&] { return calls.replace(path.c_str(), tmp.c_str()) != FALSE; })) {
    return Placed::kDone;
  }
  const DWORD err = GetLastError();
  if (err != ERROR_UNABLE_TO_MOVE_REPLACEMENT && err != ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
    return Placed::kFailed;
  }
  // The old file is gone (or moved aside) and the new one is still under its
  // temporary name: it goes in place, or stays where it is.
  return move_in() ? Placed::kDone : Placed::kKeptAside;
}

namespace {

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (ok()) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return h_; }
  bool Close() {
    const HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return CloseHandle(h) != FALSE;
  }

 private:
  HANDLE h_;
};

bool ReadAll(HANDLE h, std::string& out) {
  char buf[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h, buf, sizeof buf, &n, nullptr)) return false;
    if (n == 0) return true;
    out.append(buf, n);
  }
}

bool WriteAll(HANDLE h, const char* data, size_t size) {
  while (size > 0) {
    const DWORD part = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD n = 0;
    if (!WriteFile(h, data, part, &n, nullptr) || n == 0) return false;
    data += n;
    size -= n;
  }
  return true;
}

bool WriteAll(HANDLE h, const std::string& content) {
  return WriteAll(h, content.data(), content.size());
}

bool WriteFrom0(HANDLE h, const std::string& content) {
  LARGE_INTEGER zero{};
  return SetFilePointerEx(h, zero, nullptr, FILE_BEGIN) && WriteAll(h, content) && SetEndOfFile(h);
}

const RenameCalls* g_save_renames = nullptr;

// Rewrites the file itself from the start, for a file in a folder the user may
// not write (which takes no new file beside it).
bool RewriteInPlace(const std::wstring& path, const std::string& content) {
  Handle file(OpenUntilFree(path, GENERIC_READ | GENERIC_WRITE, 0));
  if (!file.ok()) return false;
  std::string old;
  if (!ReadAll(file.get(), old)) return false;
  bool ok = WriteFrom0(file.get(), content) && FlushFileBuffers(file.get());
  if (!ok && WriteFrom0(file.get(), old)) FlushFileBuffers(file.get());
  ok = file.Close() && ok;
  return ok;
}

}  // namespace

std::string TemporaryName(const std::string& path, unsigned n) {
  return path + ".tmp" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(n);
}

ReadResult ReadWhole(const std::string& path, std::string& out) {
  out.clear();
  const std::wstring wide = WidePath(path);
  // A settings file held at start-up would otherwise be read as defaults,
  // which the next save writes over the operator's presets.
  Handle file(OpenUntilFree(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE));
  if (!file.ok()) {
    const DWORD err = GetLastError();
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? ReadResult::kMissing
                                                                      : ReadResult::kFailed;
  }
  // A directory cannot be opened like this; a device or pipe is no file.
  const bool ok = GetFileType(file.get()) == FILE_TYPE_DISK && ReadAll(file.get(), out);
  if (!ok) out.clear();
  return ok ? ReadResult::kOk : ReadResult::kFailed;
}

void UseRenamesForSaves(const RenameCalls* calls) {
  g_save_renames = calls;
}

bool SaveWhole(const std::string& path, const std::string& content, std::string* kept) {
  if (kept) kept->clear();
  const std::wstring wide = WidePath(path);
  if (wide.empty()) return false;
  const DWORD attrs = GetFileAttributesW(wide.c_str());
  const bool exists = attrs != INVALID_FILE_ATTRIBUTES;
  if (!exists) {
    const DWORD err = GetLastError();
    if (err != ERROR_FILE_NOT_FOUND) return false;
  } else {
    if (attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) return false;
    // Write access for this user (the file's access rights).
    Handle probe(
        OpenUntilFree(wide, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
    if (!probe.ok()) return false;
  }
  // Rewritten in place only where no new file may be made beside it.
  const ReplaceResult r = WriteReplacing(path, [&content](const ChunkWriter& write) {
    return write(content.data(), content.size());
  });
  if (kept) *kept = r.kept;
  return r.step == ReplaceStep::kDone ||
         (r.step == ReplaceStep::kCreate && r.folder_denied && exists &&
          RewriteInPlace(wide, content));
}

bool AdoptLeftover(const std::string& path) {
  const std::wstring wide = WidePath(path);
  if (wide.empty() || GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES ||
      GetLastError() != ERROR_FILE_NOT_FOUND) {
    return false;
  }
  const std::wstring dir = wide.substr(0, wide.find_last_of(L'\\') + 1);
  const std::string name = FileNameOf(path);
  WIN32_FIND_DATAW found;
  const HANDLE h = FindFirstFileW((wide + L".tmp*").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return false;
  std::wstring newest;
  FILETIME newest_time{};
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !IsSaveTemporary(Utf8FromWide(found.cFileName), name)) {
      continue;
    }
    if (newest.empty() || CompareFileTime(&found.ftLastWriteTime, &newest_time) > 0) {
      newest = dir + found.cFileName;
      newest_time = found.ftLastWriteTime;
    }
  } while (FindNextFileW(h, &found));
  FindClose(h);
  // No replacing move: a file that appeared meanwhile is not ours to overwrite.
  return !newest.empty() && MoveFileExW(newest.c_str(), wide.c_str(), MOVEFILE_WRITE_THROUGH);
}

ReplaceResult WriteReplacing(const std::string& path,
                             const std::function<bool(const ChunkWriter&)>& body) {
  const std::wstring wide = WidePath(path);
  if (wide.empty()) {
    return ReplaceResult::Stopped(ReplaceStep::kCreate, SystemErrorText(ERROR_INVALID_NAME));
  }
  const DWORD attrs = GetFileAttributesW(wide.c_str());
  const bool exists = attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY);
  std::wstring tmp;
  HANDLE h = INVALID_HANDLE_VALUE;
  DWORD err = ERROR_FILE_EXISTS;
  for (unsigned attempt = 0; h == INVALID_HANDLE_VALUE && attempt < 100 &&
                             (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS);
       ++attempt) {
    // Its suffix onto the wide path the file has already.
    tmp = wide + WideFromUtf8(TemporaryName(std::string(), attempt));
    h = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                    nullptr);
    err = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  }
  if (h == INVALID_HANDLE_VALUE) {
    // A folder the user may not write, as against a full disk or a bad path.
    return ReplaceResult::Stopped(ReplaceStep::kCreate, SystemErrorText(static_cast<long>(err)),
                                  err == ERROR_ACCESS_DENIED);
  }
  Handle file(h);
  const ChunkWriter write = [&file](const char* data, size_t size) {
    return WriteAll(file.get(), data, size);
  };
  bool written = false;
  try {
    written = body(write) && FlushFileBuffers(file.get());
  } catch (...) {
    file.Close();
    DeleteFileW(tmp.c_str());
    throw;
  }
  ReplaceResult r;
  if (!file.Close() || !written) {
    r.step = ReplaceStep::kWrite;
    DeleteFileW(tmp.c_str());
    return r;
  }
  // Over an existing file by ReplaceFileW, which keeps its attributes and
  // access rights.
  const Placed placed =
      PlaceFile(tmp, wide, exists, g_save_renames ? *g_save_renames : SystemRenames());
  if (placed == Placed::kDone) return r;
  r = ReplaceResult::Stopped(ReplaceStep::kPlace,
                             SystemErrorText(static_cast<long>(GetLastError())));
  if (placed == Placed::kKeptAside) {
    // Named as the caller names the file: its suffix is ours, and plain ASCII.
    r.kept = path + Utf8FromWide(tmp.substr(wide.size()));
  } else {
    DeleteFileW(tmp.c_str());
  }
  return r;
}

MoveResult MoveReplacing(const std::string& from, const std::string& to, std::string* reason) {
  const std::wstring wfrom = WidePath(from);
  const std::wstring wto = WidePath(to);
  if (UntilFree([&] {
        return MoveFileExW(wfrom.c_str(), wto.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
      })) {
    return MoveResult::kDone;
  }
  const DWORD err = GetLastError();
  if (GetFileAttributesW(wfrom.c_str()) == INVALID_FILE_ATTRIBUTES) return MoveResult::kMissing;
  if (reason) *reason = SystemErrorText(static_cast<long>(err));
  return MoveResult::kFailed;
}

bool Append(const std::string& path, const std::string& text) {
  Handle file(CreateFileW(WidePath(path).c_str(), FILE_APPEND_DATA,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.ok() || GetFileType(file.get()) != FILE_TYPE_DISK) return false;
  const bool ok = WriteAll(file.get(), text.data(), text.size());
  return file.Close() && ok;
}

bool FileSize(const std::string& path, uint64_t& size) {
  WIN32_FILE_ATTRIBUTE_DATA a{};
  if (!GetFileAttributesExW(WidePath(path).c_str(), GetFileExInfoStandard, &a) ||
      (a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return false;
  }
  size = (static_cast<uint64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
  return true;
}

std::string ExecutablePath() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) {
      buf.resize(n);
      return Utf8FromWide(buf);
    }
    if (buf.size() >= 32768) return {};
    buf.resize(buf.size() * 2);
  }
}

}  // namespace kelv::fileio
