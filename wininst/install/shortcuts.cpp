#include "wininst/install/shortcuts.h"

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/alloc.h"
#include "common/handle.h"
#include "common/compat.h"
#include "common/osdep.h"
#include "common/registry.h"
#include "wininst/core/product.h"
#include "common/vector.h"
#include "wininst/install/files.h"
#include "wininst/install/installed.h"
#include "wininst/install/journal.h"
#include "wininst/install/manifest.h"
#include "common/messages.h"
#include "wininst/core/variables.h"

namespace {

bool IsAbsolute(const std::string& path) {
  return (!path.empty() && path[0] == '\\') || (path.size() > 1 && path[1] == ':');
}

// Makes the link file in place of any of that name; the journal and the
// installation's record note it. A link of that name that leads into
// another installation (another version beside this one) stays as it is:
// it is not this installation's.
void Link(const char* target, const char* link, const char* description, const char* arguments,
          const char* working_folder, const char* icon) {
  if (file_exists(link) && PointsIntoAnotherInstallation(ShellLinkTarget(link))) return;
  if (!SetAside(link)) Fatal("Can't create file: %s\n%s", link, strerror(errno));
  JournalCreated(link);
  MakeShellLink(target, link, description, arguments, working_folder, icon);
  RecordInstalledFile(link);
}

}  // namespace

ComScope::ComScope() {
  CoInitialize(nullptr);
}

ComScope::~ComScope() {
  CoUninitialize();
}

bool PointsIntoAnotherInstallation(const std::string& target) {
  auto under = [&](std::string folder) {
    while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
    return !folder.empty() && target.size() > folder.size() &&
           _strnicmp(target.c_str(), folder.c_str(), folder.size()) == 0 &&
           target[folder.size()] == '\\';
  };
  if (target.empty() || under(VariableOr("InstDir")) || under(ResourcesFolder())) return false;
  const std::string family = FamilyKey();
  for (const std::string& version : reg_subkeys(kRegLocalMachine, family.c_str())) {
    const std::string key = family + "\\" + version;
    for (const std::string& level : reg_subkeys(kRegLocalMachine, key.c_str())) {
      std::string folder;
      if (reg_read(kRegLocalMachine, (key + "\\" + level).c_str(), "InstDir", folder) == 0 &&
          under(folder)) {
        return true;
      }
    }
  }
  return false;
}

void CreateShortcuts() {
  const char* folder = GetVariable("ShortcutFolder");
  // The folders are settled before any page runs; without them there is no
  // place for a link.
  if (!Shortcuts() || !folder) return;
  ComScope com;
  CreateFolderTree(folder);
  const char* inst_dir = GetVariable("InstDir");

  for (uint32_t i = 0; i < vec_count(Shortcuts()); i++) {
    Shortcut* s = vec_at<Shortcut>(Shortcuts(), i);
    char target[4096];
    if (IsAbsolute(s->target)) {
      snprintf(target, sizeof target, "%s", s->target.c_str());
    } else {
      snprintf(target, sizeof target, "%s\\%s", inst_dir, s->target.c_str());
    }
    char working[4096];
    snprintf(working, sizeof working, "%s", target);
    if (char* slash = strrchr(working, '\\')) *slash = '\0';
    TextHandle link(xsprintf("%s\\%s.lnk", folder, s->name.c_str()));
    const char* icon = s->icon.empty() ? nullptr : GetVariable(s->icon.c_str());
    Link(target, link.get(), "", s->arguments.empty() ? nullptr : s->arguments.c_str(), working,
         icon);
  }

  if (const char* holtek = GetVariable("HoltekIDEPath")) {
    TextHandle link(xsprintf("%s\\HT-IDE3000.lnk", folder));
    Link(holtek, link.get(), "Run Holtek HT-IDE3000", nullptr, nullptr, nullptr);
  }
}
