// The Windows entry point: the start-up steps in their order.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "wininst/core/entry.h"
#include "wininst/run.h"
#include "wininst/core/variables.h"

HINSTANCE AppInstance;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR command_line, int) {
  AppInstance = instance;
  ExcludedComponents();

  // An installed copy finds its "manifest" beside itself through this.
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n > 0 && n < sizeof path) {
    if (char* slash = strrchr(path, '\\')) {
      // A program in a drive's root keeps that root, not the drive's current folder.
      slash[slash == path + 2 && path[1] == ':' ? 1 : 0] = '\0';
      SetCurrentDirectoryA(path);
    }
  }

  ReadCommandLine(command_line);
  srand(static_cast<unsigned>(time(nullptr)));

  if (IsTrue("SubInstall") && FindWindowA(kFrameClass, nullptr)) return 0;
  return RunInstaller();
}
