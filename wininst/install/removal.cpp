#include "wininst/install/removal.h"

#include <windows.h>
#include <ntsecapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "common/compat.h"
#include "common/handle.h"
#include "common/osdep.h"
#include "common/registry.h"
#include "common/vector.h"
#include "common/messages.h"
#include "wininst/core/paths.h"
#include "wininst/core/product.h"
#include "wininst/core/progress.h"
#include "wininst/core/runmode.h"
#include "wininst/core/tempfiles.h"
#include "wininst/core/variables.h"
#include "wininst/install/archive.h"
#include "wininst/install/cleanup_script.h"
#include "wininst/install/files.h"
#include "wininst/install/installed.h"
#include "wininst/install/transaction.h"
#include "wininst/install/undo_folder.h"
#include "wininst/install/links.h"
#include "wininst/install/manifest.h"
#include "wininst/install/registration.h"
#include "wininst/install/shortcuts.h"

namespace {

// A line of the removal's status box, with the bar where the removal stands.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
  char line[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  ReportProgress(Progress().Position(), line);
}

}  // namespace

namespace {

// How long a file that another program holds is tried again, and how often.
constexpr DWORD kBusyRetryMs = 5000;
constexpr DWORD kBusyStepMs = 250;
// How many paths a box lists.
constexpr size_t kListed = 12;
// Files of the removal set to go when the computer restarts.
size_t left_for_restart;

bool EndsWith(const char* text, const char* end) {
  const size_t n = strlen(text), m = strlen(end);
  return n >= m && _stricmp(text + n - m, end) == 0;
}

std::string Listed(const std::vector<std::string>& paths) {
  std::string list;
  for (size_t i = 0; i < paths.size() && i < kListed; i++) list += "  " + paths[i] + "\n";
  if (paths.size() > kListed) list += "  and " + Decimal(paths.size() - kListed) + " more\n";
  return list;
}

// Files other programs hold: tried again for a few seconds (the window
// answering meanwhile), then set to go when the computer restarts. Returns
// those that could not even be set so.
std::vector<std::string> DeleteBusy(std::vector<std::string> busy, std::vector<std::string>& scheduled) {
  const DWORD start = GetTickCount();
  NestedPump pump;
  while (!busy.empty() && GetTickCount() - start < kBusyRetryMs) {
    Sleep(kBusyStepMs);
    pump.Pump();
    std::erase_if(busy, [](const std::string& path) { return DeleteNow(path); });
  }
  std::vector<std::string> left;
  for (const std::string& path : busy) {
    (MoveFileExA(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? scheduled : left).push_back(path);
  }
  return left;
}

}  // namespace

bool RemoveInstallation(Transaction& t) {
  ReportProgress(100, nullptr);
  // The bar runs down from 100 as the entries are handled.
  ProgressCounter& progress = Progress();
  progress.Plan(vec_count(InstalledFiles()) + vec_count(CreatedFolders()), true);
  // The installed manifest goes last: a removal that ends half-way (a
  // confirmed Cancel) leaves an installation that can still be removed.
  const std::string manifest = ResourcesFolder() + "\\manifest";
  bool has_manifest = false;
  // The running setup.exe cannot go yet: the script deletes it later.
  const char* running = VariableOr("SETUP");
  // Nothing is deleted through a link: a file whose folder (or a folder
  // above it, up to the installation's own) has become a link stays where
  // the link leads. A link in the place of a file or folder goes as a link.
  // A shortcut goes only while it still leads into this installation (one
  // of another version of that name is that version's).
  ComScope com;
  std::string folder, link;
  std::vector<std::string> files, folders;
  for (uint32_t i = 0; i < vec_count(InstalledFiles()); i++) {
    const char* path = vec_at<char>(InstalledFiles(), i);
    if (_stricmp(path, manifest.c_str()) == 0) {
      has_manifest = true;
      continue;
    }
    const char* slash = strrchr(path, '\\');
    const size_t length = slash ? static_cast<size_t>(slash - path) : 0;
    if (slash && (folder.size() != length || folder.compare(0, length, path, length) != 0)) {
      folder.assign(path, length);
      link = HoldFolders(folder);
    }
    if (slash && !link.empty()) {
      Log("Not deleting file %s: %s is a link", path, link.c_str());
      continue;
    }
    if (EndsWith(path, ".lnk")) {
      const std::string target = ShellLinkTarget(path);
      if (PointsIntoAnotherInstallation(target)) {
        Log("Not deleting shortcut %s: it leads to %s", path, target.c_str());
        continue;
      }
    }
    files.push_back(path);
  }
  if (has_manifest && LinkOnTheWay(ResourcesFolder()).empty()) files.push_back(manifest);
  for (uint32_t i = 0; i < vec_count(CreatedFolders()); i++) {
    const char* path = vec_at<char>(CreatedFolders(), i);
    const char* slash = strrchr(path, '\\');
    link = slash ? LinkOnTheWay(std::string(path, slash)) : std::string();
    if (!link.empty()) {
      Log("Not removing folder %s: %s is a link", path, link.c_str());
    } else {
      folders.push_back(path);
    }
  }
  // The whole removal is named before the first file goes: a run that is
  // killed half-way is carried to its end by the next run of the product.
  UnregisterProduct(t);
  t.ToRemove(files, folders);

  std::vector<std::string> busy;
  for (const std::string& path : files) {
    if (path == manifest) continue;
    progress.Add(1);
    Log("Deleting file %s", path.c_str());
    if (DeleteNow(path)) {
      t.FileRemoved();
    } else if (_stricmp(path.c_str(), running) != 0) {
      busy.push_back(path);
    }
  }
  std::vector<std::string> scheduled;
  const std::vector<std::string> left = DeleteBusy(busy, scheduled);
  // Held folders could not be removed, not even by the run itself.
  ReleaseFolders();
  std::vector<std::string> busy_folders;
  for (const std::string& path : folders) {
    Log("Removing folder %s", path.c_str());
    if (!RemoveDirectoryA(path.c_str())) {
      busy_folders.push_back(path);
      // Emptied at the restart, it goes then, after its files.
      if (!scheduled.empty()) MoveFileExA(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    progress.Add(1);
  }
  if (!left.empty()) {
    // The installation stays whole enough to be removed again: its manifest,
    // its copy of the program and its registration stay.
    ShowError("Remove installation",
              "These files could not be removed:\n%sThe installation stays registered; remove it "
              "again once they are free.",
              Listed(left).c_str());
    return false;
  }
  if (has_manifest) {
    Log("Deleting file %s", manifest.c_str());
    // Its folder holds the running setup.exe too: the script removes it.
    if (LinkOnTheWay(ResourcesFolder()).empty()) DeleteNow(manifest);
  }
  // What the clean-up script cannot name (a letter its code page lacks, and
  // no short name) goes at the restart: said with the other such files.
  for (const std::string& path : busy_folders) {
    if (!Scriptable(path)) scheduled.push_back(path);
  }
  if (*running && !Scriptable(running)) scheduled.push_back(running);
  if (!scheduled.empty()) {
    left_for_restart = scheduled.size();
    ShowInfo("Remove installation",
             "Other programs still use these files; they will be removed when the computer "
             "restarts:\n%s",
             Listed(scheduled).c_str());
  }
  if (*running) DeleteAfterRun(running);
  for (const std::string& folder : busy_folders) RemoveFolderAfterRun(folder);
  return true;
}

size_t FilesLeftForRestart() {
  return left_for_restart;
}
