// The Windows entry point: the start-up steps in their order.
#include <windows.h>

#include <cstdlib>
#include <ctime>

#include "common/syslib.h"
#include "wininst/core/entry.h"
#include "wininst/core/variables.h"
#include "wininst/pages/pages.h"
#include "wininst/run.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR command_line, int) {
  // Before anything loads a library by its name.
  RestrictLibrarySearch();
  ExcludedComponents();
  EnterProgramFolder();
  ReadCommandLine(command_line);
  srand(static_cast<unsigned>(time(nullptr)));

  if (IsTrue("SubInstall") && FindWindowA(kFrameClass, nullptr)) return 0;
  InstallWizardPages();
  return RunInstaller();
}
