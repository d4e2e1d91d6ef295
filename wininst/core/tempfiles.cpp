#include "wininst/core/tempfiles.h"

#include <windows.h>
#include <ntsecapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <string>

#include "common/alloc.h"
#include "common/compat.h"
#include "common/handle.h"
#include "common/osdep.h"
#include "common/vector.h"
#include "wininst/core/rights.h"
#include "wininst/core/variables.h"

namespace {
// Paths to delete when the run ends, the last recorded first: the temporary
// folder is the first entry, so files go before it.
Vec* temp_files;
// The file in the run's temporary folder that marks it as in use: held open
// without leave to delete it for as long as the run lives. The system closes
// it when the run ends, however it ends; a later run that can take the mark
// deletes the folder (SweepLeftFolders).
constexpr const char* kMarkName = "run.mark";
HANDLE mark = INVALID_HANDLE_VALUE;
// How deep a left folder is swept: ours hold files and folders of files.
constexpr int kSweepDepth = 8;
}  // namespace

namespace {

// Tries this many names before it gives up: each is new only when nobody
// made a folder of that name first.
constexpr int kNameAttempts = 100;

// The user's temporary folder, where the run's folders are made.
std::string TempBase() {
  if (const char* base = getenv("TEMP")) return base;
  if (const char* base = getenv("TMP")) return base;
  if (const char* windir = getenv("windir")) return std::string(windir) + "\\temp";
  return "C:";
}

// 64 bits from the system's random source: a name nobody can know before.
bool RandomNumber(uint64_t& number) {
  return RtlGenRandom(&number, sizeof number) != FALSE;
}

// Opens `path` itself, never what it would lead to, without leave for anyone
// to delete or rename it while it is held: a folder's contents go, never a
// place it was swapped for. Null for a link or for what cannot be opened.
HANDLE HoldPlain(const char* path, DWORD access, DWORD share) {
  HANDLE h = CreateFileA(path, access, share, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    CloseHandle(h);
    return nullptr;
  }
  return h;
}

// `folder`\`name` into `path`; false when it does not fit.
bool Below(char (&path)[MAX_PATH], const char* folder, const char* name) {
  const int n = snprintf(path, sizeof path, "%s\\%s", folder, name);
  return n > 0 && n < static_cast<int>(sizeof path);
}

// Deletes what `folder` holds (not its mark, which the sweep holds without
// leave to delete it); a link goes as a link.
void EmptyFolder(const char* folder, int depth) {
  char path[MAX_PATH];
  WIN32_FIND_DATAA found;
  if (!Below(path, folder, "*")) return;
  HANDLE search = FindFirstFileA(path, &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const char* name = found.cFileName;
    const DWORD attributes = found.dwFileAttributes;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || !Below(path, folder, name)) {
      continue;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      DeleteFileA(path);
    } else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      RemoveDirectoryA(path);
    } else if (depth < kSweepDepth) {
      if (HANDLE held = HoldPlain(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE)) {
        EmptyFolder(path, depth + 1);
        CloseHandle(held);
      }
      RemoveDirectoryA(path);
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

// "qz" (as the search found it) and digits: a name this installer gives its
// temporary folders.
bool LooksOurs(const char* name) {
  const size_t digits = strspn(name + 2, "0123456789");
  return digits > 0 && digits <= 20 && !name[2 + digits];
}

// Removes a marked folder that holds nothing but its mark; one that holds
// more (a file still in use) stays, marked again, for a later run.
void RemoveMarkedFolder(const char* folder, const char* mark_path) {
  DeleteFileA(mark_path);
  if (RemoveDirectoryA(folder) || !is_folder(folder)) return;
  CloseHandle(CreateFileA(mark_path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                          nullptr));
}

// Deletes the temporary folders that runs of this installer left behind
// (killed, or ended by the system): a folder named as ours whose mark
// nobody holds. A folder in use, one without a mark (not ours, or a removal
// script's), and links are left alone.
void SweepLeftFolders(const char* base) {
  char folder[MAX_PATH], mark_path[MAX_PATH];
  WIN32_FIND_DATAA found;
  if (!Below(folder, base, "qz*")) return;
  HANDLE search = FindFirstFileA(folder, &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !LooksOurs(found.cFileName) ||
        !Below(folder, base, found.cFileName) || !Below(mark_path, folder, kMarkName)) {
      continue;
    }
    // A folder without a mark is no run's of ours: one look each.
    if (GetFileAttributesA(mark_path) == INVALID_FILE_ATTRIBUTES) continue;
    HANDLE held = HoldPlain(folder, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (!held) continue;
    // Taken whole, or the run that made it still lives.
    HANDLE taken = HoldPlain(mark_path, DELETE, 0);
    if (taken) {
      EmptyFolder(folder, 0);
      CloseHandle(taken);
    }
    CloseHandle(held);
    if (taken) RemoveMarkedFolder(folder, mark_path);
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

}  // namespace

std::string CreatePrivateFolder(std::string* tried) {
  const std::string base = TempBase();
  // What runs that are gone left in that place goes first.
  SweepLeftFolders(base.c_str());
  std::string path = base;
  for (int attempt = 0; attempt < kNameAttempts; attempt++) {
    uint64_t number;
    if (!RandomNumber(number)) break;
    path = base + "\\qz" + Decimal(number);
    // Made new, never taken over: a folder of that name belongs to someone else.
    // An elevated run keeps the user's own programs out: nothing of theirs may
    // be planted in it or swapped for what the run put there.
    if (CreatePrivateFolderAt(path.c_str())) return path;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  if (tried) *tried = path;
  return {};
}

bool CreateTempFolder() {
  if (!temp_files) temp_files = vec_new();
  const std::string path = CreatePrivateFolder();
  if (path.empty()) return false;
  vec_add(temp_files, const_cast<char*>(SetVariable("TmpDir", path.c_str())));
  // Read by anyone, deleted by nobody while the run lives.
  char mark_path[MAX_PATH];
  if (Below(mark_path, path.c_str(), kMarkName)) {
    mark = CreateFileA(mark_path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  return true;
}

void RecordTempFile(const char* path) {
  if (!temp_files) temp_files = vec_new();
  vec_add(temp_files, xstrdup(path));
}

void DeleteTemporaryFiles() {
  if (!temp_files) return;
  for (uint32_t i = vec_count(temp_files); i-- > 0;) {
    const char* path = vec_at<char>(temp_files, i);
    if (is_folder(path)) {
      char mark_path[MAX_PATH];
      if (i == 0 && mark != INVALID_HANDLE_VALUE && Below(mark_path, path, kMarkName)) {
        CloseHandle(mark);
        mark = INVALID_HANDLE_VALUE;
        RemoveMarkedFolder(path, mark_path);
      } else {
        RemoveDirectoryA(path);
      }
    } else {
      DeleteFileA(path);
    }
  }
  // A second call (a fatal error inside the clean-up's caller) has nothing left to do.
  vec_clear(temp_files);
}

Vec* TempFiles() {
  return temp_files;
}
