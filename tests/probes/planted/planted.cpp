// A library an attacker plants beside an installer under the name of one the
// installer loads (newdev.dll, setupapi.dll, wininet.dll, SHFolder.dll, the
// plug-in's velloq_helper.dll; tests copy it under each name). Loaded, it
// appends its own path to the file PLANTED_LOG names. It exports what the
// installer could ask of those libraries, each failing, so that a program
// that imports them still starts (and shows that it took the planted one);
// the plug-in's helper answers 666 where the real one answers 42.
#include <windows.h>

#include <cstdio>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char log[MAX_PATH], path[MAX_PATH];
  if (GetEnvironmentVariableA("PLANTED_LOG", log, sizeof log) &&
      GetModuleFileNameA(self, path, sizeof path)) {
    if (FILE* f = fopen(log, "ab")) {
      fprintf(f, "%s\n", path);
      fclose(f);
    }
  }
  return TRUE;
}

#define FAILS(name) \
  extern "C" __declspec(dllexport) int WINAPI name() { SetLastError(ERROR_NOT_SUPPORTED); return 0; }
FAILS(UpdateDriverForPlugAndPlayDevicesA)
FAILS(SetupCopyOEMInfA)
FAILS(SHGetFolderPathA)
FAILS(InternetOpenA)
FAILS(InternetConnectA)
FAILS(InternetCloseHandle)
FAILS(InternetReadFile)
FAILS(InternetErrorDlg)
FAILS(FtpOpenFileA)
FAILS(FtpGetFileSize)
FAILS(FtpFindFirstFileA)
FAILS(HttpOpenRequestA)
FAILS(HttpSendRequestA)
FAILS(HttpQueryInfoA)

extern "C" __declspec(dllexport) DWORD VelloqHelper() {
  return 666;
}
