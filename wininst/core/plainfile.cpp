#include "wininst/core/plainfile.h"

#include <windows.h>

#include <cstring>
#include <string>

#include "common/compat.h"
#include "common/osdep.h"
#include "common/syslib.h"

namespace {

template <typename F>
F Kernel32Function(const char* name) {
  return SystemFunction<F>(GetModuleHandleA("kernel32.dll"), name);
}

// Where the last `names` names of `path` begin (at the "\" before the
// first of them); null when it has fewer.
const char* LastNames(const char* path, size_t names) {
  for (const char* at = path + strlen(path); at > path;) {
    if (*--at == '\\' && --names == 0) return at;
  }
  return nullptr;
}

// Whether the open `file` lies at `path` in its last `names` names, as far
// as the system can tell (only newer systems say where an open file lies);
// where it lies in `real`. Above those names, another name of the same
// place (a network drive, a substituted drive, the system's own links
// above an anchor) is taken as it is.
bool LiesAt(HANDLE file, const char* path, size_t names, std::string& real) {
  using FinalPathFn = DWORD(WINAPI*)(HANDLE, LPSTR, DWORD, DWORD);
  const auto final_path = Kernel32Function<FinalPathFn>("GetFinalPathNameByHandleA");
  if (!final_path) return true;
  char found[MAX_PATH * 2], asked[MAX_PATH * 2];
  DWORD n = final_path(file, found, sizeof found, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0 || n >= sizeof found) return false;
  // "\\?\C:\..." or "\\?\UNC\server\...".
  const char* place = found;
  if (strncmp(found, "\\\\?\\UNC\\", 8) == 0) {
    found[6] = '\\';
    place = found + 6;
  } else if (strncmp(found, "\\\\?\\", 4) == 0) {
    place = found + 4;
  }
  real = place;
  // The names it was asked by in full: a short name is no other place.
  n = GetLongPathNameA(path, asked, sizeof asked);
  const char* tail = LastNames(n > 0 && n < sizeof asked ? asked : path, names);
  place = LastNames(place, names);
  return tail && place && _stricmp(tail, place) == 0;
}

// Takes away, through its handle, a file the run has just made.
void Discard(HANDLE file) {
  using SetInformationFn = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
  if (const auto set = Kernel32Function<SetInformationFn>("SetFileInformationByHandle")) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    set(file, FileDispositionInfo, &disposition, sizeof disposition);
  }
}

}  // namespace

PlainFile OpenPlainFile(const std::string& path, const std::string& anchor, DWORD access,
                        DWORD share, HANDLE& file, std::string& where) {
  file = INVALID_HANDLE_VALUE;
  // The way: the anchor and every folder below it, down to the file's (with
  // no anchor, every folder below the drive, or the share).
  char folder[MAX_PATH * 2];
  if (path.size() >= sizeof folder) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return PlainFile::kFailed;
  }
  strcpy(folder, path.c_str());
  size_t lowest = anchor.size(), names = 1;
  if (anchor.empty()) {
    lowest = 3;
    if (folder[0] == '\\') {
      const char* server_end = strchr(folder + 2, '\\');
      const char* share_end = server_end ? strchr(server_end + 1, '\\') : nullptr;
      lowest = share_end ? share_end - folder + 1 : path.size();
    }
  }
  for (char* at = strrchr(folder, '\\'); at && static_cast<size_t>(at - folder) >= lowest;
       at = strrchr(folder, '\\')) {
    *at = '\0';
    names++;
    if (is_link(folder)) {
      where = folder;
      return PlainFile::kLinkOnTheWay;
    }
  }
  constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
  file = CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, kFlags, nullptr);
  bool made = false;
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
    // Made new, with leave to take it away again.
    file = CreateFileA(path.c_str(), access | DELETE, share, nullptr, CREATE_NEW, kFlags, nullptr);
    made = file != INVALID_HANDLE_VALUE;
  }
  if (file == INVALID_HANDLE_VALUE) return PlainFile::kFailed;
  PlainFile result = PlainFile::kOpened;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || info.nNumberOfLinks > 1) {
    result = PlainFile::kLinkOrOtherNames;
    where = path;
  } else if (!LiesAt(file, path.c_str(), names, where)) {
    result = PlainFile::kElsewhere;
  }
  if (result != PlainFile::kOpened) {
    if (made) Discard(file);
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
  }
  return result;
}
