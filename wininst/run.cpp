#include "wininst/run.h"

#include <windows.h>

#include <cstring>

#include "common/compat.h"
#include "common/handle.h"
#include "common/osdep.h"
#include "common/registry.h"
#include "wininst/core/folders.h"
#include "wininst/core/entry.h"
#include "wininst/core/frame.h"
#include "wininst/core/messages.h"
#include "wininst/core/rights.h"
#include "wininst/core/runmode.h"
#include "wininst/core/variables.h"
#include "wininst/install/archive.h"
#include "wininst/install/features.h"
#include "wininst/install/manifest.h"
#include "wininst/install/installed.h"
#include "wininst/install/removal.h"
#include "wininst/pages/pages.h"

namespace {

// Older systems lack the membership test: whoever may write to the
// machine's part of the registry counts as an administrator.
bool CanWriteMachineKey() {
  TextHandle key(ExpandVariables("SOFTWARE\\[Manufacturer]"));
  if (reg_set_string(kRegLocalMachine, key.get(), "CheckAdminPrivs", "yes") != 0) return false;
  reg_delete_value(kRegLocalMachine, key.get(), "CheckAdminPrivs");
  return true;
}

// The manifest settles the folders when its [Variables] section ends; one
// without that section still needs them (the start-menu folder above all).
void SettleFolders() {
  if (!FoldersResolved()) ResolveFolders();
}

// Every page does its work on entry and passes itself over.
int RunPagesHeadless() {
  GoToPage(0);
  return 0;
}

// The frame and its message loop, until EndRun posts the quit message; its
// code is the run's exit code.
int RunWizard() {
  switch (CreateFrame()) {
    case FrameStatus::kShown:
      break;
    case FrameStatus::kClassNotRegistered:
      Fatal("Can't register the installer's window class\nError %lu", GetLastError());
    case FrameStatus::kWindowNotCreated:
      Fatal("Can't create the installer's window\nError %lu", GetLastError());
  }
  GoToPage(0);
  MSG message;
  BOOL got;
  while ((got = GetMessageA(&message, nullptr, 0, 0)) != 0) {
    if (got == -1) Fatal("Can't read the installer's messages\nError %lu", GetLastError());
    HWND frame = FrameWindow();
    if (frame && IsDialogMessageA(frame, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return static_cast<int>(message.wParam);
}

constexpr const char* kOptions =
    "Options:\n"
    "\"--I agree to the terms of the licence\"\n"
    "        with --dir=: installs without the wizard\n"
    "--dir=FOLDER: the installation folder\n"
    "--no-NAME, --with-NAME: a component out, in\n"
    "--setTrue-NAME, --setVariable-NAME=VALUE\n"
    "        set an installer variable\n"
    "--unattended: no window, no box, only the log\n"
    "--log=FILE: appends a log of the run to FILE\n"
    "--remove, --remove-silently: (the installed copy)\n"
    "        removes the installation\n"
    "--subinstall: ends if another installer is running\n"
    "--help, /?: this list\n"
    "\n"
    "Exit code: 0 done, 1 failed or cancelled.";

}  // namespace

int ShowOptions() {
  ShowInfo(kFrameClass, "%s", kOptions);
  return 0;
}

const char* MissingForUnattended() {
  const RunMode& mode = Mode();
  if (!mode.unattended || mode.headless) return nullptr;
  if (mode.remove) return "An unattended removal needs --remove-silently.";
  const bool folder = GetVariable("InstDir") != nullptr;
  const bool licence = IsTrue("LicenceAgreed");
  if (!folder && !licence) {
    return "An unattended installation needs the installation folder (--dir=) and the licence option; both "
           "are missing.";
  }
  return folder ? "An unattended installation needs the licence option; it is missing."
                : "An unattended installation needs the installation folder (--dir=); it is missing.";
}

void EnterProgramFolder() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) return;
  if (char* slash = strrchr(path, '\\')) {
    // A program in a drive's root keeps that root, not the drive's current folder.
    slash[slash == path + 2 && path[1] == ':' ? 1 : 0] = '\0';
    SetCurrentDirectoryA(path);
  }
}

bool IsAdministrator() {
  const std::optional<bool> member = MemberOfAdministrators();
  return member ? *member : CanWriteMachineKey();
}

void OpenInstallerArchive() {
  ReadManifest(OpenArchive());
  RecordListedPaths();
  ExtractResources();
  EvaluateFeatures();
  // The run decides its mode: a manifest's variables of those names do not.
  SetRunMode(Mode());
}

int RunInstaller() {
  // A folder relative to wherever the program happens to run is no place to
  // install into, nor to register.
  const char* dir = GetVariable("InstDir");
  if (dir && _stricmp(dir, "default") != 0 && !is_full_path(dir)) {
    Fatal("The installation folder \"%s\" is not a full path.\nGive a drive's folder "
          "(C:\\...) or a network share's (\\\\server\\share\\...).",
          dir);
  }
  const bool headless = Mode().headless;
  if (!headless) ShowSplash();
  OpenInstallerArchive();
  SettleFolders();
  CheckInstalledManifest();
  if (!IsAdministrator()) Fatal("This program requires Administrator privileges");
  HideSplash();

  const int exit_code = headless ? RunPagesHeadless() : RunWizard();

  // The post-sequence actions; a confirmed Cancel or a fatal error never gets
  // here.
  RunPostWizardChoices();
  StartRemovalScript();
  return exit_code;
}
