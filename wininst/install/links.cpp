#include "wininst/install/links.h"

#include <windows.h>

#include <string>
#include <vector>

#include "common/compat.h"
#include "common/messages.h"
#include "common/osdep.h"
#include "wininst/core/folders.h"
#include "wininst/core/variables.h"

namespace {

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

// The longest of `places` that `path` lies in; empty when it lies in none.
std::string AnchorOf(const std::string& path, const std::vector<std::string>& places) {
  std::string anchor;
  for (const std::string& place : places) {
    if (Under(path, Trimmed(place)) && place.size() > anchor.size()) anchor = Trimmed(place);
  }
  return anchor;
}

// The anchor of `folder` and each folder below it on the way there; the
// folder alone when it lies in none of the places.
std::vector<std::string> WayTo(const std::string& folder,
                               const std::vector<std::string>& places = InstallationPlaces()) {
  const std::string path = Trimmed(folder);
  std::string anchor = AnchorOf(path, places);
  if (anchor.empty()) anchor = path;
  std::vector<std::string> way{anchor};
  for (size_t at = anchor.size(); at < path.size(); at++) {
    if (path[at] == '\\' && at > anchor.size()) way.push_back(path.substr(0, at));
  }
  if (path.size() > anchor.size()) way.push_back(path);
  return way;
}

}  // namespace

std::vector<std::string> InstallationPlaces() {
  std::vector<std::string> places;
  if (const char* inst_dir = InstallFolder(); inst_dir && *inst_dir) places.push_back(inst_dir);
  if (const char* res_dir = GetVariable("ResDir"); res_dir && *res_dir) places.push_back(res_dir);
  // The product's own shortcut folder, not the maker's folder above it that
  // other products share.
  if (const char* shortcuts = GetVariable("ShortcutFolder"); shortcuts && *shortcuts) places.push_back(shortcuts);
  return places;
}

bool InPlaces(const std::string& path, const std::vector<std::string>& places) {
  const std::string anchor = AnchorOf(Trimmed(path), places);
  return !anchor.empty() && Trimmed(path).size() > anchor.size();
}

std::string LinkOnTheWay(const std::string& folder) {
  return LinkOnTheWay(folder, InstallationPlaces());
}

std::string LinkOnTheWay(const std::string& folder, const std::vector<std::string>& places) {
  for (const std::string& step : WayTo(folder, places)) {
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

void RefuseLink(const std::string& path) {
  Fatal("%s is a link to another place.\nThe installation writes nothing through a link; "
        "remove the link and run the installation again.",
        path.c_str());
}

void HoldFoldersForWriting(const std::string& folder) {
  const std::string link = HoldFolders(folder);
  if (!link.empty()) RefuseLink(link);
}

void ReleaseFolders() {
  for (HANDLE h : held_handles) CloseHandle(h);
  held_handles.clear();
  held_paths.clear();
}

