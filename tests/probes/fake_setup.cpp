// fake_setup.exe: stands in for a product's own installer, and for a program
// that the installer opens or runs.
//
//   fake_setup.exe MARKER CODE [SLEEP_MS]
//
// sleeps SLEEP_MS, writes the arguments after MARKER to the file MARKER and
// exits with CODE. Run without arguments (as a program started from the
// completion page is), it sleeps half a second, then writes its own path
// plus ".ran", holding the name of the program that started it.
//
// As an installer's stand-in it also does what an installer may do in its
// current folder: with FAKE_SETUP_LOADS set, it loads that library by name;
// with FAKE_SETUP_STARTS, it starts that command line (a program named bare)
// and waits for it.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The file name of the process that started this one ("explorer.exe").
void ParentName(char* name, size_t size) {
  snprintf(name, size, "?");
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  DWORD parent = 0;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == GetCurrentProcessId()) parent = entry.th32ParentProcessID;
  }
  for (BOOL more = Process32First(snapshot, &entry); more && parent;
       more = Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == parent) snprintf(name, size, "%s", entry.szExeFile);
  }
  CloseHandle(snapshot);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) {
    Sleep(500);
    char marker[MAX_PATH + 8], parent[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, marker, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 2;
    strcat(marker, ".ran");
    ParentName(parent, sizeof parent);
    FILE* f = fopen(marker, "w");
    if (!f) return 2;
    fprintf(f, "%s\n", parent);
    fclose(f);
    return 0;
  }
  if (const char* library = getenv("FAKE_SETUP_LOADS")) LoadLibraryA(library);
  if (const char* starts = getenv("FAKE_SETUP_STARTS")) {
    char command[MAX_PATH * 2];
    snprintf(command, sizeof command, "%s", starts);
    // Once: the program started may be this one again.
    SetEnvironmentVariableA("FAKE_SETUP_STARTS", nullptr);
    STARTUPINFOA start{};
    start.cb = sizeof start;
    PROCESS_INFORMATION process;
    if (CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start,
                       &process)) {
      WaitForSingleObject(process.hProcess, 30000);
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    }
  }
  if (argc < 3) return 2;
  if (argc > 3) Sleep(static_cast<DWORD>(atoi(argv[3])));
  FILE* marker = fopen(argv[1], "w");
  if (!marker) return 2;
  for (int i = 2; i < argc; i++) fprintf(marker, "%s\n", argv[i]);
  fclose(marker);
  return atoi(argv[2]);
}
