#include "wininst/install/files.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "common/compat.h"
#include "common/handle.h"
#include "common/osdep.h"
#include "common/messages.h"
#include "wininst/core/paths.h"
#include "wininst/core/progress.h"
#include "wininst/core/rights.h"
#include "wininst/core/variables.h"
#include "wininst/install/archive_format.h"
#include "wininst/install/installed.h"
#include "wininst/install/links.h"
#include "wininst/install/output.h"
#include "wininst/install/placement.h"
#include "wininst/install/transaction.h"

namespace {

constexpr int kFolderPathLimit = 4096;

RunBuffer<uint8_t, archive::kCopyChunk> copy_buffer;

bool record_found_folders;

}  // namespace

void RecordFoundFolders(bool over_previous) {
  record_found_folders = over_previous;
}

bool CreateFolderTree(Transaction& transaction, const char* path) {
  char copy[kFolderPathLimit];
  snprintf(copy, sizeof copy, "%s", path);
  // A trailing backslash would make an existing folder look missing.
  for (size_t n = strlen(copy); n > 3 && copy[n - 1] == '\\'; n--) copy[n - 1] = '\0';

  if (file_exists(copy)) {
    if (!is_folder(copy)) Fatal("Folder %s exists but is not a folder!", copy);
    HoldFoldersForWriting(copy);
    // An installation over a previous one holds what it writes in, found or
    // made: it lists every folder, so that its removal takes them away (when
    // they are empty). Folders that were there before a first installation
    // stay the user's.
    if (!record_found_folders) return false;
    const std::string found = copy;
    const std::vector<std::string> places = InstallationPlaces();
    for (size_t at = 0; at != std::string::npos; at = found.find('\\', at + 1)) {
      const std::string step = at ? found.substr(0, at) : found;
      if (at && InPlaces(step, places)) RecordCreatedFolder(step.c_str());
    }
    // The product's own shortcut folder is the installation's too.
    if (InPlaces(found, places) || SamePath(found, VariableOr("ShortcutFolder"))) {
      RecordCreatedFolder(found.c_str());
    }
    return false;
  }
  // The folders missing on the way, outermost first: never a drive's root
  // ("C:") nor a share's ("\\\\server\\share").
  auto root = [](const std::string& p) {
    return p.size() <= 2 || (p[0] == '\\' && std::count(p.begin(), p.end(), '\\') <= 3);
  };
  std::vector<std::string> missing{copy};
  for (std::string parent = ParentOf(copy); !root(parent) && !file_exists(parent.c_str());
       parent = ParentOf(parent)) {
    missing.insert(missing.begin(), parent);
  }
  const std::string above = ParentOf(missing.front());
  if (!root(above) && !is_folder(above.c_str())) Fatal("Folder %s exists but is not a folder!", above.c_str());
  // Nothing is made through a link on the way.
  if (!root(above)) HoldFoldersForWriting(above);
  transaction.FoldersToMake(missing);
  // What the installation makes only administrators change (a later repair
  // or removal runs what is in it as administrator); the start-menu folder
  // of the user's shortcuts is the user's.
  const std::string shortcuts = VariableOr("ShortcutFolder");
  for (const std::string& folder : missing) {
    const bool users = !shortcuts.empty() && (SamePath(folder, shortcuts) || PathBelow(shortcuts, folder));
    if (!(users ? CreateDirectoryA(folder.c_str(), nullptr) : CreateInstallationFolderAt(folder.c_str()))) {
      Fatal("Failed to create folder %s", folder.c_str());
    }
    transaction.FolderMade();
    HoldFoldersForWriting(folder);
    RecordCreatedFolder(folder.c_str());
  }
  return true;
}

void CopyFileInto(Placement& placement, const char* source, const char* destination, uint32_t size,
                  FILE* opened, void (*edit)(uint8_t*, uint32_t, uint32_t)) {
  FileHandle in(opened ? opened : fopen(source, "rb"));
  if (!in) Fatal("Can't open file: %s\n%s", source, strerror(errno));
  if (placement.Open(destination) == OutputOpened::kFailed) {
    Fatal("Can't create file: %s\n%s", destination, strerror(errno));
  }
  RecordInstalledFile(destination);
  Progress().Add(archive::kCopyChunk);

  for (uint32_t remaining = size; remaining > 0;) {
    size_t chunk = remaining < copy_buffer.size() ? remaining : copy_buffer.size();
    if (fread(copy_buffer.get(), 1, chunk, in.get()) != chunk) {
      AbandonOutput();
      Fatal("short read on %s", source);
    }
    if (edit) edit(copy_buffer.get(), size - remaining, static_cast<uint32_t>(chunk));
    if (!WriteOutput(copy_buffer.get(), static_cast<uint32_t>(chunk))) {
      const std::string failed = FailedOutput(destination);
      AbandonOutput();
      Fatal("Write error on %s", failed.c_str());
    }
    remaining -= static_cast<uint32_t>(chunk);
    Progress().Add(chunk);
  }
  if (!CloseOutput()) Fatal("Write error on %s", FailedOutput(destination));
  if (!placement.Finish(destination)) Fatal("Can't create file: %s\n%s", destination, strerror(errno));
}

