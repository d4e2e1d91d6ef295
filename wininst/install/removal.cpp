#include "wininst/install/removal.h"

#include <windows.h>

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
#include "wininst/core/product.h"
#include "wininst/core/progress.h"
#include "wininst/core/runmode.h"
#include "wininst/core/tempfiles.h"
#include "wininst/core/variables.h"
#include "wininst/install/archive.h"
#include "wininst/install/files.h"
#include "wininst/install/installed.h"
#include "wininst/install/journal.h"
#include "wininst/install/links.h"
#include "wininst/install/manifest.h"
#include "wininst/install/shortcuts.h"

namespace {

// The removal script's name in its folder, and what it must do once the run
// has ended: the folders that stayed busy.
constexpr const char* kScriptName = "remove.bat";
constexpr const char* kFolderVariable = "MERIDOX_REMOVAL";
bool removal_script;
Vec* busy_folders;

// A path as the command interpreter reads it between double quotes: "%"
// doubled, so that no variable is expanded. A path with a double quote or a
// control character cannot be written safely at all: false, and it stays.
bool ScriptPath(const char* path, std::string& out) {
  out.clear();
  for (const char* p = path; *p; p++) {
    if (*p == '"' || static_cast<unsigned char>(*p) < 0x20) return false;
    out += *p;
    if (*p == '%') out += '%';
  }
  return true;
}

}  // namespace

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

bool EndsWith(const char* text, const char* end) {
  const size_t n = strlen(text), m = strlen(end);
  return n >= m && _stricmp(text + n - m, end) == 0;
}

std::string Listed(const std::vector<std::string>& paths) {
  std::string list;
  for (size_t i = 0; i < paths.size() && i < kListed; i++) list += "  " + paths[i] + "\n";
  if (paths.size() > kListed) list += "  and " + std::to_string(paths.size() - kListed) + " more\n";
  return list;
}

// Deletes a file of the installation; false when another program holds it
// (a file that is gone already is no failure).
bool Delete(const char* path) {
  if (DeleteFileA(path)) return true;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
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
    std::erase_if(busy, [](const std::string& path) { return Delete(path.c_str()); });
  }
  std::vector<std::string> left;
  for (const std::string& path : busy) {
    (MoveFileExA(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? scheduled : left).push_back(path);
  }
  return left;
}

}  // namespace

const char* RemoveInstallation() {
  ReportProgress(100, nullptr);
  // The bar runs down from 100 as the entries are handled.
  ProgressCounter& progress = Progress();
  progress.Plan(vec_count(InstalledFiles()) + vec_count(CreatedFolders()), true);
  // The installed manifest goes last: a removal that ends half-way (a
  // confirmed Cancel) leaves an installation that can still be removed.
  const std::string manifest = ResourcesFolder() + "\\manifest";
  const char* deferred = nullptr;
  // The running setup.exe cannot go yet: the script deletes it later.
  const char* running = VariableOr("SETUP");
  std::vector<std::string> busy;
  // Nothing is deleted through a link: a file whose folder (or a folder
  // above it, up to the installation's own) has become a link stays where
  // the link leads. A link in the place of a file or folder goes as a link.
  // A shortcut goes only while it still leads into this installation (one
  // of another version of that name is that version's).
  ComScope com;
  std::string folder, link;
  for (uint32_t i = 0; i < vec_count(InstalledFiles()); i++) {
    const char* path = vec_at<char>(InstalledFiles(), i);
    progress.Add(1);
    if (!deferred && _stricmp(path, manifest.c_str()) == 0) {
      deferred = path;
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
    Log("Deleting file %s", path);
    if (!Delete(path) && _stricmp(path, running) != 0) busy.push_back(path);
  }
  std::vector<std::string> scheduled;
  const std::vector<std::string> left = DeleteBusy(busy, scheduled);
  // Held folders could not be removed, not even by the run itself.
  ReleaseFolders();
  Vec* busy_folders_now = vec_new();
  for (uint32_t i = 0; i < vec_count(CreatedFolders()); i++) {
    const char* path = vec_at<char>(CreatedFolders(), i);
    const char* slash = strrchr(path, '\\');
    link = slash ? LinkOnTheWay(std::string(path, slash)) : std::string();
    if (!link.empty()) {
      Log("Not removing folder %s: %s is a link", path, link.c_str());
    } else {
      Log("Removing folder %s", path);
      if (!RemoveDirectoryA(path)) {
        vec_add(busy_folders_now, const_cast<char*>(path));
        // Emptied at the restart, it goes then, after its files.
        if (!scheduled.empty()) MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
      }
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
    return nullptr;
  }
  if (deferred) {
    Log("Deleting file %s", deferred);
    // Its folder holds the running setup.exe too: the script removes it.
    if (LinkOnTheWay(ResourcesFolder()).empty()) DeleteFileA(deferred);
  }
  if (!scheduled.empty()) {
    ShowInfo("Remove installation",
             "Other programs still use these files; they will be removed when the computer "
             "restarts:\n%s",
             Listed(scheduled).c_str());
  }
  busy_folders = busy_folders_now;
  removal_script = true;
  return kScriptName;
}

void StartRemovalScript() {
  if (!removal_script) return;
  // The script is made now, the last thing the run does: a run that ends
  // early leaves none behind. It lies in a new folder that only the
  // administrators may change, under a name nobody knows before: no user's
  // program can plant or swap the commands that run with the
  // administrator's rights.
  const std::string folder = CreatePrivateFolder();
  const std::string script = folder + "\\" + kScriptName;
  std::string text = "cd \\\n:Repeat\n";
  std::string quoted;
  const char* setup = GetVariable("SETUP");
  if (setup && ScriptPath(setup, quoted)) {
    text += "del \"" + quoted + "\"\nif exist \"" + quoted + "\" goto Repeat\n";
  }
  for (uint32_t i = 0; busy_folders && i < vec_count(busy_folders); i++) {
    if (ScriptPath(vec_at<char>(busy_folders, i), quoted)) text += "rmdir \"" + quoted + "\"\n";
  }
  if (ScriptPath(script.c_str(), quoted)) text += "del \"" + quoted + "\"\n";
  HANDLE file = CreateFileA(script.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  const bool ok = file != INVALID_HANDLE_VALUE &&
                  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                  written == text.size();
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (!ok) {
    DeleteFileA(script.c_str());
    RemoveDirectoryA(folder.c_str());
    Fatal("Could not create %s", script.c_str());
  }
  // The system's command interpreter runs the script without a console
  // window: the shell's "open" of a batch file starts the same interpreter
  // with a console and its host, which take longer to start than the script
  // takes to run. "/d" keeps a user's AutoRun commands out of it and
  // "/v:off" the expansion of "!"; once the script has ended (and deleted
  // itself), the same interpreter removes its folder. The folder reaches the
  // command line through a variable of the interpreter's environment, which
  // it expands once: a "%" in the path stays as it is.
  char system[MAX_PATH];
  const UINT n = GetSystemDirectoryA(system, sizeof system);
  if (n > 0 && n < sizeof system) {
    const std::string interpreter = std::string(system) + "\\cmd.exe";
    std::string command = "\"" + interpreter + "\" /d /v:off /c \"call \"%" + kFolderVariable +
                          "%\\" + kScriptName + "\" & rmdir \"%" + kFolderVariable + "%\"\"";
    // The interpreter inherits the run's environment; the run ends now.
    SetEnvironmentVariableA(kFolderVariable, folder.c_str());
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESHOWWINDOW;
    start.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process{};
    // Started beside its folder, not in it: the folder must be free to go.
    const std::string beside = folder.substr(0, folder.rfind('\\') + 1);
    if (CreateProcessA(interpreter.c_str(), &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                       nullptr, beside.c_str(), &start, &process)) {
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
      return;
    }
  }
  ShellExecuteA(nullptr, "open", script.c_str(), "", nullptr, SW_HIDE);
}
