#include "wininst/install/cleanup_script.h"

#include <windows.h>
#include <ntsecapi.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "common/messages.h"
#include "wininst/core/paths.h"
#include "wininst/core/tempfiles.h"

namespace {

// The script's name in its folder, and the variable that names its folder.
constexpr const char* kScriptName = "remove.bat";
constexpr const char* kFolderVariable = "MERIDOX_REMOVAL";
// The files that go once the run has ended (its own program file) and the
// folders that held them.
std::vector<std::string> script_files;
std::vector<std::string> script_folders;

// `text` (in the system's code page) in the code page the command
// interpreter reads its scripts in (the OEM one); false when a character
// has no place there.
bool InOemCodePage(const std::string& text, std::string& out) {
  if (text.empty()) {
    out.clear();
    return true;
  }
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  BOOL lost = FALSE;
  const int m = WideCharToMultiByte(CP_OEMCP, WC_NO_BEST_FIT_CHARS, wide.data(), n, nullptr, 0, nullptr, &lost);
  out.assign(static_cast<size_t>(m), '\0');
  WideCharToMultiByte(CP_OEMCP, WC_NO_BEST_FIT_CHARS, wide.data(), n, out.data(), m, nullptr, &lost);
  return m > 0 && !lost;
}

// A path as the command interpreter reads it between double quotes: in its
// code page, or by the path's short name where a letter has no place there;
// "%" doubled, so that no variable is expanded. A path with a double quote
// or a control character, or that has no form the interpreter reads, cannot
// be written at all: false.
bool ScriptPath(const char* path, std::string& out) {
  std::string oem;
  if (!InOemCodePage(path, oem)) {
    char short_path[MAX_PATH];
    const DWORD n = GetShortPathNameA(path, short_path, sizeof short_path);
    if (n == 0 || n >= sizeof short_path || !InOemCodePage(short_path, oem)) return false;
  }
  out.clear();
  for (char c : oem) {
    if (c == '"' || static_cast<unsigned char>(c) < 0x20) return false;
    out += c;
    if (c == '%') out += '%';
  }
  return true;
}

// Appends a line made from a format to `text` (paths are no longer than a
// path may be).
void Add(std::string& text, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Add(std::string& text, const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  text += line;
}

// The removal script's tries to delete the ended program: at once, then
// once a second.
constexpr int kQuickTries = 2000;
constexpr int kSlowTries = 60;

}  // namespace

void DeleteAfterRun(const std::string& file) {
  script_files.push_back(file);
}

void RemoveFolderAfterRun(const std::string& folder) {
  for (const std::string& f : script_folders) {
    if (SamePath(f, folder)) return;
  }
  script_folders.push_back(folder);
}

bool Scriptable(const std::string& path) {
  std::string quoted;
  return ScriptPath(path.c_str(), quoted);
}

void StartRemovalScript() {
  if (script_files.empty() && script_folders.empty()) return;
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
  for (std::string& file : script_files) {
    if (!SamePath(file, ProgramPath())) continue;
    SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    uint32_t number = 0;
    RtlGenRandom(&number, sizeof number);
    std::string gone = ParentOf(file);
    Add(gone, "\\~setup%u.tmp", number);
    if (MoveFileExA(file.c_str(), gone.c_str(), 0)) {
      file = gone;
      MoveFileExA(file.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
  }
  // Tried at once for a while, then once a second for a minute: never a
  // loop without end.
  std::string text = "cd \\\nset /a n=0\n:Repeat\n", waits;
  std::string quoted;
  for (const std::string& file : script_files) {
    // What the script cannot name goes when the computer restarts.
    if (!ScriptPath(file.c_str(), quoted)) {
      MoveFileExA(file.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
      continue;
    }
    Add(text, "del /f /q \"%s\" >nul 2>&1\n", quoted.c_str());
    Add(waits, "if exist \"%s\" goto Wait\n", quoted.c_str());
  }
  text += waits;
  Add(text, "goto Done\n:Wait\nset /a n+=1\nif %%n%% lss %d goto Repeat\nif %%n%% geq %d goto Done\n", kQuickTries,
      kQuickTries + kSlowTries);
  if (system[0] && ScriptPath(system, quoted)) Add(text, "\"%s\\ping.exe\" -n 2 127.0.0.1 >nul\n", quoted.c_str());
  text += "goto Repeat\n:Done\n";
  for (const std::string& busy : script_folders) {
    if (ScriptPath(busy.c_str(), quoted)) Add(text, "rmdir \"%s\"\n", quoted.c_str());
    // What the script cannot remove goes at the restart, once empty.
    MoveFileExA(busy.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  }
  if (ScriptPath(script.c_str(), quoted)) Add(text, "del \"%s\"\n", quoted.c_str());
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
    std::string interpreter, command;
    Add(interpreter, "%s\\cmd.exe", system);
    Add(command, "\"%s\" /d /v:off /c \"call \"%%%s%%\\%s\" & rmdir \"%%%s%%\"\"", interpreter.c_str(), kFolderVariable,
        kScriptName, kFolderVariable);
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

void KeepAtRestart(const std::string& folder, Vec* files) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                    KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
    return;
  }
  constexpr const wchar_t* kPending = L"PendingFileRenameOperations";
  DWORD type = 0, size = 0;
  // The wide value, kept as bytes, with a nul pair past its end whatever it holds.
  std::string list;
  if (RegQueryValueExW(key, kPending, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_MULTI_SZ) {
    list.assign(size + 4, '\0');
    if (RegQueryValueExW(key, kPending, nullptr, &type, reinterpret_cast<BYTE*>(list.data()), &size) != ERROR_SUCCESS) {
      size = 0;
    }
    list.resize((size & ~1u) + 4, '\0');
  }
  // Pairs of names, each ended by a nul: what moves, and where to (nothing:
  // it is deleted). A name outside the system's code page is no path of
  // this installation and stays as it is.
  const wchar_t* names = reinterpret_cast<const wchar_t*>(list.data());
  const size_t count = list.size() / sizeof(wchar_t);
  std::string kept;
  bool dropped = false;
  size_t at = 0;
  while (at + 2 < count && names[at] != L'\0') {
    const size_t from = at, from_length = lstrlenW(names + at);
    at += from_length + 1;
    const size_t to_length = at < count ? lstrlenW(names + at) : 0;
    at += to_length + 1;
    const wchar_t* plain = names + from;
    // The system's form of a name, \??\C:\..., told by its second letter.
    if (from_length > 4 && plain[1] == L'?') plain += 4;
    BOOL lost = FALSE;
    char path[MAX_PATH * 2];
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, plain, -1, path, sizeof path, nullptr, &lost);
    bool ours = false;
    if (to_length == 0 && n > 0 && !lost && (SamePath(path, folder) || PathBelow(path, folder))) {
      for (uint32_t i = 0; !ours && i < vec_count(files); i++) {
        const char* file = vec_at<char>(files, i);
        ours = SamePath(path, file) || PathBelow(file, path);
      }
    }
    if (ours) {
      dropped = true;
    } else {
      kept.append(reinterpret_cast<const char*>(names + from), (at - from) * sizeof(wchar_t));
    }
  }
  if (dropped) {
    // Ended by an empty name (a list left empty is that name alone).
    kept.append(sizeof(wchar_t), '\0');
    RegSetValueExW(key, kPending, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(kept.data()),
                   static_cast<DWORD>(kept.size()));
  }
  RegCloseKey(key);
}
