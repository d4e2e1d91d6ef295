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
#include "wininst/install/files.h"
#include "wininst/install/installed.h"
#include "wininst/install/transaction.h"
#include "wininst/install/undo_folder.h"
#include "wininst/install/links.h"
#include "wininst/install/manifest.h"
#include "wininst/install/registration.h"
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
// The removal script's tries to delete the ended program: at once, then
// once a second.
constexpr int kQuickTries = 2000;
constexpr int kSlowTries = 60;

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
  Vec* busy_folders_now = vec_new();
  for (const std::string& path : folders) {
    Log("Removing folder %s", path.c_str());
    if (!RemoveDirectoryA(path.c_str())) {
      vec_add(busy_folders_now, xstrdup(path.c_str()));
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
  if (!scheduled.empty()) {
    ShowInfo("Remove installation",
             "Other programs still use these files; they will be removed when the computer "
             "restarts:\n%s",
             Listed(scheduled).c_str());
  }
  busy_folders = busy_folders_now;
  removal_script = true;
  return true;
}

void StartRemovalScript() {
  if (!removal_script) return;
  // The script is made now, the last thing the run does: a run that ends
  // early leaves none behind. It lies in a new folder that only the
  // administrators may change, under a name nobody knows before: no user's
  // program can plant or swap the commands that run with the
  // administrator's rights.
  std::string tried;
  const std::string folder = CreatePrivateFolder(&tried);
  if (folder.empty()) Fatal("Failed to create folder %s", tried.c_str());
  const std::string script = folder + "\\" + kScriptName;
  char system[MAX_PATH];
  const UINT n = GetSystemDirectoryA(system, sizeof system);
  if (n == 0 || n >= sizeof system) system[0] = '\0';
  // The running program goes by a name of its own, set to go when the
  // computer restarts should anything hold it longer than the script waits;
  // nobody else's file can ever have that name.
  std::string setup = VariableOr("SETUP");
  if (!setup.empty()) {
    SetFileAttributesA(setup.c_str(), FILE_ATTRIBUTE_NORMAL);
    uint32_t number = 0;
    RtlGenRandom(&number, sizeof number);
    const std::string gone = ParentOf(setup) + "\\~setup" + std::to_string(number) + ".tmp";
    if (MoveFileExA(setup.c_str(), gone.c_str(), 0)) {
      setup = gone;
      MoveFileExA(setup.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
  }
  // Tried at once for a while, then once a second for a minute: never a
  // loop without end.
  std::string text = "cd \\\nset /a n=0\n:Repeat\n";
  std::string quoted;
  if (!setup.empty() && ScriptPath(setup.c_str(), quoted)) {
    text += "del /f /q \"" + quoted + "\" >nul 2>&1\nif not exist \"" + quoted + "\" goto Done\n" +
            "set /a n+=1\nif %n% lss " + std::to_string(kQuickTries) + " goto Repeat\nif %n% geq " +
            std::to_string(kQuickTries + kSlowTries) + " goto Done\n";
    if (system[0] && ScriptPath(system, quoted)) text += "\"" + quoted + "\\ping.exe\" -n 2 127.0.0.1 >nul\n";
    text += "goto Repeat\n:Done\n";
  }
  for (uint32_t i = 0; busy_folders && i < vec_count(busy_folders); i++) {
    const char* busy = vec_at<char>(busy_folders, i);
    if (ScriptPath(busy, quoted)) text += "rmdir \"" + quoted + "\"\n";
    // What the script cannot remove goes at the restart, once empty.
    if (!setup.empty()) MoveFileExA(busy, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
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
  if (system[0]) {
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
