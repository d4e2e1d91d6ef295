#include "wininst/install/files.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "common/compat.h"
#include "common/handle.h"
#include "common/osdep.h"
#include "common/registry.h"
#include "common/vector.h"
#include "wininst/core/messages.h"
#include "wininst/core/product.h"
#include "wininst/core/variables.h"
#include "wininst/install/archive.h"

namespace {

constexpr int kFolderPathLimit = 4096;

RunBuffer<uint8_t, archive::kCopyChunk> copy_buffer;

// The held folders: their paths, outermost first, and their handles.
std::vector<std::string> held_paths;
std::vector<HANDLE> held_handles;

bool Under(const std::string& path, const std::string& folder) {
  return !folder.empty() && path.size() >= folder.size() &&
         _strnicmp(path.c_str(), folder.c_str(), folder.size()) == 0 &&
         (path.size() == folder.size() || path[folder.size()] == '\\');
}

std::string Trimmed(std::string path) {
  while (path.size() > 3 && path.back() == '\\') path.pop_back();
  return path;
}

// The longest of the installation's places that `path` lies in; empty when
// it lies in none of them.
std::string AnchorOf(const std::string& path) {
  std::string anchor;
  auto consider = [&](std::string place) {
    place = Trimmed(place);
    if (Under(path, place) && place.size() > anchor.size()) anchor = place;
  };
  if (const char* inst_dir = GetVariable("InstDir")) consider(inst_dir);
  if (const char* res_dir = GetVariable("ResDir"); res_dir && *res_dir) consider(res_dir);
  if (const char* shortcuts = GetVariable("ShortcutFolder")) {
    std::string parent = shortcuts;
    consider(parent.substr(0, parent.rfind('\\')));
  }
  return anchor;
}

// The anchor of `folder` and each folder below it on the way there; the
// folder alone when it lies in none of the installation's places.
std::vector<std::string> WayTo(const std::string& folder) {
  const std::string path = Trimmed(folder);
  std::string anchor = AnchorOf(path);
  if (anchor.empty()) anchor = path;
  std::vector<std::string> way{anchor};
  for (size_t at = anchor.size(); at < path.size(); at++) {
    if (path[at] == '\\' && at > anchor.size()) way.push_back(path.substr(0, at));
  }
  if (path.size() > anchor.size()) way.push_back(path);
  return way;
}

// The folder journal: its key while it is kept, and the number of entries.
std::string journal_key;
uint32_t journal_entries;

bool Recorded(const char* folder) {
  for (uint32_t i = 0; i < vec_count(CreatedFolders); i++) {
    if (_stricmp(vec_at<char>(CreatedFolders, i), folder) == 0) return true;
  }
  return false;
}

}  // namespace

std::string LinkOnTheWay(const std::string& folder) {
  for (const std::string& step : WayTo(folder)) {
    const DWORD attributes = GetFileAttributesA(step.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) break;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return step;
  }
  return {};
}

std::string HoldFolders(const std::string& folder) {
  const std::vector<std::string> way = WayTo(folder);
  // The folders held already on the same way stay held.
  size_t kept = 0;
  while (kept < way.size() && kept < held_paths.size() &&
         _stricmp(way[kept].c_str(), held_paths[kept].c_str()) == 0) {
    kept++;
  }
  while (held_paths.size() > kept) {
    CloseHandle(held_handles.back());
    held_handles.pop_back();
    held_paths.pop_back();
  }
  for (size_t i = kept; i < way.size(); i++) {
    const char* step = way[i].c_str();
    if (is_link(step)) return way[i];
    // The link itself, were it one, and without leave to delete or rename.
    HANDLE h = CreateFileA(step, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) break;  // not there (yet)
    BY_HANDLE_FILE_INFORMATION info;
    // Made a link between the look and the opening.
    if (GetFileInformationByHandle(h, &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      CloseHandle(h);
      return way[i];
    }
    held_paths.push_back(way[i]);
    held_handles.push_back(h);
  }
  return {};
}

void HoldFoldersForWriting(const std::string& folder) {
  const std::string link = HoldFolders(folder);
  if (!link.empty()) {
    Fatal("%s is a link to another place.\nThe installation writes nothing through a link; "
          "remove the link and run the installation again.",
          link.c_str());
  }
}

void ReleaseFolders() {
  for (HANDLE h : held_handles) CloseHandle(h);
  held_handles.clear();
  held_paths.clear();
}

void BeginFolderJournal() {
  journal_key = std::string(ProductKey()) + "\\Installing";
  for (journal_entries = 0;; journal_entries++) {
    RegData folder = reg_get_string(kRegLocalMachine, journal_key.c_str(),
                                    std::to_string(journal_entries).c_str());
    if (folder.error != 0) break;
    if (is_folder(folder.data) && !Recorded(folder.data)) {
      vec_add(CreatedFolders, folder.data);
    } else {
      free(folder.data);
    }
  }
}

void EndFolderJournal() {
  if (journal_key.empty()) return;
  reg_delete_tree(kRegLocalMachine, journal_key.c_str());
  journal_key.clear();
}

bool CreateFolderTree(const char* path) {
  char copy[kFolderPathLimit];
  snprintf(copy, sizeof copy, "%s", path);
  // A trailing backslash would make an existing folder look missing.
  for (size_t n = strlen(copy); n > 3 && copy[n - 1] == '\\'; n--) copy[n - 1] = '\0';

  if (file_exists(copy)) {
    if (!is_folder(copy)) Fatal("Folder %s exists but is not a folder!", copy);
    HoldFoldersForWriting(copy);
    return false;
  }
  if (char* slash = strrchr(copy, '\\'); slash && slash - copy > 2) {
    *slash = '\0';
    CreateFolderTree(copy);
    *slash = '\\';
  }
  // Nothing is made through a link on the way.
  if (char* slash = strrchr(copy, '\\'); slash && slash - copy > 2) {
    *slash = '\0';
    HoldFoldersForWriting(copy);
    *slash = '\\';
  }
  if (!CreateDirectoryA(copy, nullptr)) Fatal("Failed to create folder %s", copy);
  HoldFoldersForWriting(copy);
  vec_add(CreatedFolders, xstrdup(copy));
  if (!journal_key.empty()) {
    reg_set_string(kRegLocalMachine, journal_key.c_str(), std::to_string(journal_entries++).c_str(),
                   copy);
  }
  return true;
}

void CopyFileInto(const char* source, const char* destination, uint32_t size, FILE* opened) {
  FileHandle in(opened ? opened : fopen(source, "rb"));
  if (!in) Fatal("Can't open file: %s\n%s", source, strerror(errno));
  if (!OpenOutput(destination)) Fatal("Can't create file: %s\n%s", destination, strerror(errno));
  vec_add(InstalledFiles, xstrdup(destination));
  CountProgress(archive::kCopyChunk);

  for (uint32_t remaining = size; remaining > 0;) {
    size_t chunk = remaining < copy_buffer.size() ? remaining : copy_buffer.size();
    if (fread(copy_buffer.get(), 1, chunk, in.get()) != chunk) {
      AbandonOutput();
      Fatal("short read on %s", source);
    }
    if (!WriteOutput(copy_buffer.get(), static_cast<uint32_t>(chunk))) {
      AbandonOutput();
      Fatal("Write error on %s", destination);
    }
    remaining -= static_cast<uint32_t>(chunk);
    CountProgress(chunk);
  }
  if (!CloseOutput()) Fatal("Write error on %s", destination);
}

std::string ResourcesFolder() {
  const char* base = GetVariable("ResDir");
  if (!base || !*base) base = GetVariable("InstDir");
  return std::string(base ? base : "") + "\\resources";
}
