#include "wininst/install/shortcuts.h"

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "common/handle.h"
#include "common/compat.h"
#include "common/osdep.h"
#include "common/registry.h"
#include "wininst/core/folders.h"
#include "wininst/core/paths.h"
#include "wininst/core/product.h"
#include "common/vector.h"
#include "wininst/install/files.h"
#include "wininst/install/installed.h"
#include "wininst/install/placement.h"
#include "wininst/install/transaction.h"
#include "wininst/install/manifest.h"
#include "common/messages.h"
#include "wininst/core/variables.h"

namespace {

bool IsAbsolute(const std::string& path) {
  return (!path.empty() && path[0] == '\\') || (path.size() > 1 && path[1] == ':');
}

// A shortcut to make: its link file and what it says.
struct Link {
  std::string path, target, description, arguments, working_folder, icon;
};

// Makes the link file in place of any of that name; the journal and the
// installation's record note it. A link of that name that leads into
// another installation (another version beside this one) stays as it is:
// it is not this installation's.
void MakeLink(Placement& placement, Transaction& t, const Link& l) {
  if (placement.There(l.path) && PointsIntoAnotherInstallation(ShellLinkTarget(l.path.c_str()))) {
    placement.Keep(l.path);
    return;
  }
  if (!placement.MakeWay(l.path)) Fatal("Can't create file: %s\n%s", l.path.c_str(), strerror(errno));
  t.Before();
  auto text = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
  MakeShellLink(l.target.c_str(), l.path.c_str(), l.description.c_str(), text(l.arguments),
                text(l.working_folder), text(l.icon));
  t.FileWritten();
  RecordInstalledFile(l.path.c_str());
}

}  // namespace

ComScope::ComScope() {
  CoInitialize(nullptr);
}

ComScope::~ComScope() {
  CoUninitialize();
}

bool PointsIntoAnotherInstallation(const std::string& target) {
  auto under = [&](const std::string& folder) { return PathBelow(target, folder); };
  if (target.empty() || under(InstallFolder("")) || under(ResourcesFolder())) return false;
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

void CreateShortcuts(Transaction& t) {
  const char* folder = GetVariable("ShortcutFolder");
  // The folders are settled before any page runs; without them there is no
  // place for a link.
  if (!Shortcuts() || !folder) return;
  ComScope com;
  CreateFolderTree(t, folder);
  const char* inst_dir = InstallFolder();

  std::vector<Link> links;
  for (uint32_t i = 0; i < vec_count(Shortcuts()); i++) {
    Shortcut* s = vec_at<Shortcut>(Shortcuts(), i);
    Link l;
    l.target = IsAbsolute(s->target) ? s->target : std::string(inst_dir) + "\\" + s->target;
    l.working_folder = ParentOf(l.target);
    l.path = std::string(folder) + "\\" + s->name + ".lnk";
    l.arguments = s->arguments;
    if (const char* icon = s->icon.empty() ? nullptr : GetVariable(s->icon.c_str())) l.icon = icon;
    links.push_back(std::move(l));
  }
  if (const char* holtek = GetVariable("HoltekIDEPath")) {
    links.push_back(Link{std::string(folder) + "\\HT-IDE3000.lnk", holtek, "Run Holtek HT-IDE3000", "", "", ""});
  }
  std::vector<std::string> paths;
  for (const Link& l : links) paths.push_back(l.path);
  Placement placement(t, paths, false);
  for (const Link& l : links) MakeLink(placement, t, l);
}
