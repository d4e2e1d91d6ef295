// newdev.dll of the tests' own: Wine's only pretends to update devices. Put
// beside a program and loaded in place of the system's (WINEDLLOVERRIDES=
// newdev=n), it appends each update asked for to the file NEWDEV_LOG names
// (owner window as a number, hardware ID, INF path, flags; tab-separated)
// and answers as NEWDEV_ANSWER says: "restart" succeeds and asks for a
// restart, a number is the error to fail with, anything else succeeds.
// Built for 32 and 64 bits; the 32-bit build in a 64-bit system's 32-bit
// system folder answers a 32-bit caller as Windows does there, and Wine's
// own does not: ERROR_IN_WOW64, nothing recorded.
#include <windows.h>
#include <setupapi.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" __declspec(dllexport) BOOL WINAPI
    UpdateDriverForPlugAndPlayDevicesA(HWND owner, LPCSTR id, LPCSTR inf, DWORD flags,
                                       PBOOL restart) {
  BOOL wow64 = FALSE;
  if (sizeof(void*) == 4 && IsWow64Process(GetCurrentProcess(), &wow64) && wow64) {
    SetLastError(ERROR_IN_WOW64);
    return FALSE;
  }
  char log[MAX_PATH], answer[32] = "";
  FILE* f = GetEnvironmentVariableA("NEWDEV_LOG", log, sizeof log) ? fopen(log, "ab") : nullptr;
  if (f) {
    fprintf(f, "%lu\t%s\t%s\t%lu\n", HandleToULong(owner), id, inf, flags);
    fclose(f);
  }
  GetEnvironmentVariableA("NEWDEV_ANSWER", answer, sizeof answer);
  if (restart) *restart = strcmp(answer, "restart") == 0;
  SetLastError(strtoul(answer, nullptr, 0));
  return !isdigit(static_cast<unsigned char>(answer[0]));
}
