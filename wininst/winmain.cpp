// The Windows entry point: the start-up steps in their order.
#include <windows.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "common/messages.h"
#include "common/syslib.h"
#include "wininst/core/entry.h"
#include "wininst/core/runlog.h"
#include "wininst/core/variables.h"
#include "wininst/pages/pages.h"
#include "wininst/run.h"

namespace {

int Run() {
  if (HelpAsked()) return ShowOptions();
  if (const char* missing = MissingForUnattended()) {
    LogLine("%s", missing);
    return 1;
  }
  if (IsTrue("SubInstall") && FindWindowA(kFrameClass, nullptr)) {
    LogLine("Another installer's window is open: nothing to do (--subinstall).");
    return 0;
  }
  InstallWizardPages();
  return RunInstaller();
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR command_line, int) {
  // Before anything loads a library by its name.
  RestrictLibrarySearch();
  EnterProgramFolder();
  // Reading the command line splits it in place; the log names it whole.
  const std::string given = command_line;
  ReadCommandLine(command_line);
  const std::string refused = OpenRunLog(given.c_str());
  if (!refused.empty()) Fatal("%s", refused.c_str());
  srand(static_cast<unsigned>(time(nullptr)));

  const int code = Run();
  EndRunLog(code);
  return code;
}
