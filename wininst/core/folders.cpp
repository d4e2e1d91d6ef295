#include "wininst/core/folders.h"

#include <windows.h>
#include <ntsecapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/compat.h"
#include "common/handle.h"
#include "common/osdep.h"
#include "common/registry.h"
#include "common/syslib.h"
#include "common/messages.h"
#include "wininst/core/paths.h"
#include "wininst/core/product.h"
#include "wininst/core/runmode.h"
#include "wininst/core/variables.h"

namespace {

constexpr int kFolderText = 4096;
constexpr int kCsidlPrograms = 2;
constexpr int kCsidlProgramFiles = 38;

using GetFolderPath = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPSTR);

bool resolved;

// Asks the shell's folder service, where the system has one. Leaves
// `start_menu` empty when it cannot tell.
void AskShell(char* start_menu) {
  Library lib(LoadSystemLibrary("SHFolder.dll"));
  if (!lib) lib.reset(LoadSystemLibrary("Shell32.dll"));
  if (!lib) return;
  auto get = SystemFunction<GetFolderPath>(lib.get(), "SHGetFolderPathA");
  if (!get) return;
  char path[MAX_PATH] = "";
  if (SUCCEEDED(get(nullptr, kCsidlProgramFiles, nullptr, 0, path)))
    SetVariable("ProgramFiles", path);
  path[0] = '\0';
  if (SUCCEEDED(get(nullptr, kCsidlPrograms, nullptr, 0, path))) {
    snprintf(start_menu, kFolderText, "%s", path);
  } else {
    start_menu[0] = '\0';
  }
}

void StartMenuFromRegistryOrWindows(char* start_menu) {
  std::string programs;
  if (reg_read(kRegCurrentUser,
               "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", "Programs",
               programs) == 0) {
    snprintf(start_menu, kFolderText, "%s", programs.c_str());
    return;
  }
  const char* windir = getenv("windir");
  if (!windir || !*windir) windir = "C:\\WINDOWS";
  snprintf(start_menu, kFolderText, "%s\\Start Menu\\Programs", windir);
  if (!is_folder(start_menu)) FatalText("Unable to determine location of start menu");
}

// The default folder: "[ProgramFiles]\[Manufacturer]\[Product][\[Edition]]\[Version]",
// each name as the system keeps it (a maker "Example Inc." makes the folder
// "Example Inc"), and no empty name where a variable is unset.
std::string DefaultFolder() {
  std::string folder = VariableOr("ProgramFiles");
  for (const char* name : {"Manufacturer", "Product", "Edition", "Version"}) {
    if (!GetVariable(name)) continue;
    std::string part = VariableOr(name);
    while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
    if (!part.empty()) folder += "\\" + part;
  }
  return folder;
}

void ResolveInstallationFolder() {
  const char* inst_dir = GetVariable("InstDir");
  bool is_default = inst_dir && _stricmp(inst_dir, "default") == 0;
  if (Mode().headless && !is_default) return;
  // An installed copy keeps the folder it runs from: the registered one is
  // where the installation was before it moved.
  if (!Mode().install && inst_dir && !is_default) return;

  std::string registered;
  if (reg_read(kRegLocalMachine, ProductKey(), "InstDir", registered) == 0) {
    // The same version and patch level is installed there already.
    SetVariable("InstDir", SystemForm(registered.c_str()).c_str());
    return;
  }
  if (inst_dir && !is_default) return;
  SetVariable("InstDir", SystemForm(DefaultFolder().c_str()).c_str());
}

}  // namespace

bool FoldersResolved() {
  return resolved;
}

void ResolveFolders() {
  resolved = true;
  char start_menu[kFolderText] = "";
  AskShell(start_menu);
  if (!start_menu[0]) StartMenuFromRegistryOrWindows(start_menu);

  const char* name = GetVariable("ShortcutFolderName");
  if (!name) name = GetVariable("Description");
  if (!name) name = "";
  char folder[kFolderText];
  snprintf(folder, sizeof folder, "%s\\MERIDOX Software\\%s", start_menu, name);
  SetVariable("ShortcutFolder", folder);

  ResolveInstallationFolder();
}

const char* InstallFolder(const char* unset) {
  const char* folder = GetVariable("InstDir");
  return folder ? folder : unset;
}

void KeepTypedInstallFolder(const char* text) {
  SetVariable("InstDir", text);
}

void SetFoundInstallFolder(const char* folder) {
  SetVariable("InstDir", SystemForm(folder).c_str());
}

bool SetInstallFolder(const char* folder, std::string* why) {
  const std::string canonical = CanonicalFolder(folder, why);
  if (canonical.empty()) return false;
  SetVariable("InstDir", canonical.c_str());
  return true;
}

bool SettleInstallFolder(std::string* why) {
  const char* folder = GetVariable("InstDir");
  if (!folder || _stricmp(folder, "default") == 0) return true;
  // What an installation found already (a maintenance run's own folder, a
  // registered one) is taken in the system's form, whatever it was
  // written as; a folder to install into must be one the system keeps as
  // it is written.
  if (!Mode().install) {
    SetVariable("InstDir", SystemForm(folder).c_str());
    return true;
  }
  return SetInstallFolder(folder, why);
}

namespace {

// A drive's root ("C:") or a share's ("\\\\server\\share"): never made.
bool IsRoot(const char* path) {
  return strlen(path) <= 2 || (path[0] == '\\' && std::count(path, path + strlen(path), '\\') <= 3);
}

}  // namespace

bool TryInstallFolder(const std::string& folder, std::string* why) {
  // The nearest folder there is on the way: the installation makes its
  // folders in it, and its files in folders of its own.
  char above[MAX_PATH], text[512];
  if (folder.size() >= sizeof above) return true;  // FolderFitsPaths says why
  memcpy(above, folder.c_str(), folder.size() + 1);
  for (char* slash; !IsRoot(above) && !file_exists(above) && (slash = strrchr(above, '\\'));
       *slash = '\0') {
  }
  // A name nobody uses, made new and removed again.
  uint32_t number = 0;
  RtlGenRandom(&number, sizeof number);
  snprintf(text, sizeof text, "%s\\~setup%08lx.tmp", above, static_cast<unsigned long>(number));
  if (CreateDirectoryA(text, nullptr)) {
    RemoveDirectoryA(text);
    return true;
  }
  // Why, in the system's words (a file on the way too), and its number.
  const DWORD error = GetLastError();
  int n = snprintf(text, sizeof text,
                   "cannot be %s: ", strlen(above) == folder.size() ? "written to" : "created");
  n += static_cast<int>(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                       nullptr, error, 0, text + n, sizeof text - 64 - n, nullptr));
  while (strchr(" \t\r\n.", text[n - 1])) n--;
  snprintf(text + n, sizeof text - n, " (error %lu).\nChoose another folder.", error);
  *why = text;
  return false;
}
