// The installer's device update on a 64-bit system, as a 64-bit program of
// its own. The installer is a 32-bit program, and there the system refuses
// device installation to 32-bit processes (ERROR_IN_WOW64); installers with
// a driver carry this program, and under WOW64 the installer copies it into
// its private temporary folder and starts it as
//
//   devupdate64.exe OWNER HARDWARE-ID INF-PATH
//
// OWNER is the window that owns what the update shows, as a decimal number
// (0: none). The exit code is the result: 0 the devices were updated,
// ERROR_SUCCESS_REBOOT_REQUIRED they were and need a restart, anything else
// the system's error code of the failure. It shows nothing of its own.
#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

using UpdateDriverFn = BOOL(WINAPI*)(HWND, LPCSTR, LPCSTR, DWORD, PBOOL);
using SetDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

DWORD Failed() {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return ERROR_BAD_ARGUMENTS;
  // It runs with administrator rights: libraries come from the system folder
  // only, never from its own (the search is restricted where the system can).
  const auto restrict_search = reinterpret_cast<SetDllDirectoriesFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
  if (restrict_search) restrict_search(LOAD_LIBRARY_SEARCH_SYSTEM32);
  char path[MAX_PATH];
  const UINT n = GetSystemDirectoryA(path, MAX_PATH);
  const char name[] = "\\newdev.dll";
  if (n == 0 || n + sizeof name > MAX_PATH) return Failed();
  memcpy(path + n, name, sizeof name);
  const HMODULE newdev = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!newdev) return Failed();
  const auto update = reinterpret_cast<UpdateDriverFn>(
      reinterpret_cast<void*>(GetProcAddress(newdev, "UpdateDriverForPlugAndPlayDevicesA")));
  if (!update) return Failed();

  char* end;
  const unsigned long owner = strtoul(argv[1], &end, 10);
  if (*argv[1] == '\0' || *end != '\0') return ERROR_BAD_ARGUMENTS;
  BOOL restart = FALSE;
  if (!update(static_cast<HWND>(ULongToHandle(owner)), argv[2], argv[3], 0, &restart)) {
    return Failed();
  }
  return restart ? ERROR_SUCCESS_REBOOT_REQUIRED : ERROR_SUCCESS;
}
