#include "wininst/install/shortcuts.h"

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/alloc.h"
#include "common/vector.h"
#include "wininst/install/archive.h"
#include "wininst/install/files.h"
#include "wininst/install/manifest.h"
#include "wininst/core/messages.h"
#include "wininst/core/variables.h"

namespace {

// COM for the thread, for as long as the shortcut work runs.
class ComScope {
 public:
  ComScope() { CoInitialize(nullptr); }
  ~ComScope() { CoUninitialize(); }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
};

bool IsAbsolute(const std::string& path) {
  return (!path.empty() && path[0] == '\\') || (path.size() > 1 && path[1] == ':');
}

}  // namespace

void CreateShortcuts() {
  const char* folder = GetVariable("ShortcutFolder");
  // The folders are settled before any page runs; without them there is no
  // place for a link.
  if (!Shortcuts || !folder) return;
  ComScope com;
  CreateFolderTree(folder);
  const char* inst_dir = GetVariable("InstDir");

  for (uint32_t i = 0; i < vec_count(Shortcuts); i++) {
    Shortcut* s = vec_at<Shortcut>(Shortcuts, i);
    char target[4096];
    if (IsAbsolute(s->target)) {
      snprintf(target, sizeof target, "%s", s->target.c_str());
    } else {
      snprintf(target, sizeof target, "%s\\%s", inst_dir, s->target.c_str());
    }
    char working[4096];
    snprintf(working, sizeof working, "%s", target);
    if (char* slash = strrchr(working, '\\')) *slash = '\0';
    char* link = xsprintf("%s\\%s.lnk", folder, s->name.c_str());
    DeleteFileA(link);
    const char* icon = s->icon.empty() ? nullptr : GetVariable(s->icon.c_str());
    MakeShellLink(target, link, "", s->arguments.empty() ? nullptr : s->arguments.c_str(), working,
                  icon);
    vec_add(InstalledFiles, link);
  }

  if (const char* holtek = GetVariable("HoltekIDEPath")) {
    char* link = xsprintf("%s\\HT-IDE3000.lnk", folder);
    MakeShellLink(holtek, link, "Run Holtek HT-IDE3000", nullptr, nullptr, nullptr);
    vec_add(InstalledFiles, link);
  }
}
