#include "wininst/install/undo_folder.h"

#include <windows.h>
#include <ntsecapi.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/alloc.h"
#include "common/compat.h"
#include "common/osdep.h"
#include "wininst/core/paths.h"
#include "wininst/core/rights.h"

namespace {

// Copies a folder: a new name in a folder costs Wine a look at every name
// already there.
constexpr unsigned kCopiesPerFolder = 64;

}  // namespace

bool DeleteNow(const std::string& path) {
  const char* p = path.c_str();
  if (DeleteFileA(p)) return true;
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
  // A read-only file of the installation is the installation's to delete.
  const DWORD attributes = GetFileAttributesA(p);
  if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_READONLY) && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetFileAttributesA(p, attributes & ~FILE_ATTRIBUTE_READONLY);
    return DeleteFileA(p) != FALSE;
  }
  return false;
}

bool DeleteOrSchedule(const std::string& path, bool* scheduled) {
  if (scheduled) *scheduled = false;
  if (DeleteNow(path)) return true;
  const char* p = path.c_str();
  if (MoveFileExA(p, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
    if (scheduled) *scheduled = true;
    return true;
  }
  return false;
}

void UndoFolder::Choose(const std::string& base) {
  uint32_t number = 0;
  RtlGenRandom(&number, sizeof number);
  char name[32];
  snprintf(name, sizeof name, "\\~undo%08lx", static_cast<unsigned long>(number));
  path_ = base + name;
  made_ = false;
  copies_ = 0;
}

bool UndoFolder::Make() {
  if (made_) return true;
  // A run that goes on with another's undo folder (taking it back) finds it made.
  if (is_folder(path_.c_str()) && !is_link(path_.c_str())) {
    made_ = true;
    return true;
  }
  // Made new and private: nobody else's folder (nor a link) is taken over,
  // and no ordinary user can reach in while it holds the installation's files.
  if (!CreatePrivateFolderAt(path_.c_str())) return false;
  SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_HIDDEN);
  made_ = true;
  return true;
}

std::string UndoFolder::NextCopy() {
  const std::string folder = path_ + "\\" + Decimal(copies_ / kCopiesPerFolder);
  return folder + "\\" + Decimal(copies_++ % kCopiesPerFolder);
}

bool UndoFolder::Room(const std::string& copy) {
  if (!Make()) return false;
  const std::string folder = ParentOf(copy);
  if (!is_folder(folder.c_str()) && !CreateDirectoryA(folder.c_str(), nullptr)) return false;
  if (is_link(folder.c_str())) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

bool UndoFolder::Keep(const std::string& path, const std::string& copy) {
  // A copy is a new name: nothing there is replaced.
  return Room(copy) && MoveFileExA(path.c_str(), copy.c_str(), MOVEFILE_COPY_ALLOWED) != FALSE;
}

bool UndoFolder::Link(const std::string& path, const std::string& copy) {
  return Room(copy) && CreateHardLinkA(copy.c_str(), path.c_str(), nullptr) != FALSE;
}

bool UndoFolder::Holds(const std::string& path) const {
  return !path_.empty() && PathBelow(path, path_) && is_plain_path(path.c_str());
}

namespace {

// What is left in `folder` (and its numbered folders), then the folder.
void RemoveTree(const std::string& folder, int depth) {
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
  bool scheduled = false;
  for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileA(find, &found)) {
    if (strcmp(found.cFileName, ".") == 0 || strcmp(found.cFileName, "..") == 0) continue;
    const std::string path = folder + "\\" + found.cFileName;
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      bool later = false;
      DeleteOrSchedule(path, &later);
      scheduled = scheduled || later;
    } else if (depth > 0 && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      RemoveTree(path, depth - 1);
    } else {
      RemoveDirectoryA(path.c_str());
    }
  }
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
  // Emptied at the restart, it goes then, after its files.
  if (!RemoveDirectoryA(folder.c_str()) && (scheduled || GetLastError() == ERROR_DIR_NOT_EMPTY)) {
    MoveFileExA(folder.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  }
}

}  // namespace

void UndoFolder::Remove() {
  if (path_.empty()) return;
  if (is_link(path_.c_str())) {
    RemoveDirectoryA(path_.c_str());
  } else if (is_folder(path_.c_str())) {
    RemoveTree(path_, 1);
  }
  made_ = false;
}
