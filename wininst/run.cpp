#include "wininst/run.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "common/compat.h"
#include "common/handle.h"
#include "common/osdep.h"
#include "common/registry.h"
#include "common/syslib.h"
#include "common/vector.h"
#include "wininst/core/folders.h"
#include "wininst/core/paths.h"
#include "wininst/core/entry.h"
#include "wininst/core/frame.h"
#include "wininst/core/messages.h"
#include "wininst/core/rights.h"
#include "wininst/core/runlog.h"
#include "wininst/core/runmode.h"
#include "wininst/core/variables.h"
#include "wininst/install/archive.h"
#include "wininst/install/features.h"
#include "wininst/install/manifest.h"
#include "wininst/install/installed.h"
#include "wininst/install/cleanup_script.h"
#include "wininst/install/removal.h"
#include "wininst/install/transaction.h"
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
  const bool folder = InstallFolder() != nullptr;
  const bool licence = IsTrue("LicenceAgreed");
  if (!folder && !licence) {
    return "An unattended installation needs the installation folder (--dir=) and the licence option; both "
           "are missing.";
  }
  return folder ? "An unattended installation needs the licence option; it is missing."
                : "An unattended installation needs the installation folder (--dir=); it is missing.";
}

void LeaveProgramFolder() {
  char system[MAX_PATH];
  const UINT n = GetSystemDirectoryA(system, sizeof system);
  if (n > 0 && n < sizeof system) SetCurrentDirectoryA(system);
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

namespace {

// The end of a run that found an interrupted run of its installation and
// took it back or carried it to its end, and so cannot do what it was
// asked on what it read: the user is told, the clean-up script goes.
int EndAfterRecovery(Recovered recovered, const char* product) {
  const std::string text =
      recovered == Recovered::kCompleted
          ? "An interrupted removal of " + std::string(product) + " has been carried to its end."
          : "An interrupted setup of " + std::string(product) +
                " has been taken back: the installation is as it was before it.\nStart this program again "
                "to repair or remove what is installed now.";
  ShowBox("Setup", text.c_str(), MB_OK | MB_ICONINFORMATION);
  const int code = recovered == Recovered::kCompleted && Mode().remove ? 0 : 1;
  EndRun(code);
  StartRemovalScript();
  return code;
}

// The installed manifest beside the program, where an installed copy has it.
std::string ManifestBeside() {
  return ProgramFolder() + "\\manifest";
}

// A program in an installation's resources folder (its installed copy):
// what a killed run of that installation left is taken back or completed
// before the manifest beside it is read, which may be that run's, half
// written; found by the folder, whatever product the manifest would name.
std::optional<int> RecoverBeforeReading() {
  const std::string folder = ProgramFolder();
  if (folder.size() < 10 || _stricmp(folder.c_str() + folder.size() - 10, "\\resources") != 0) {
    return std::nullopt;
  }
  const std::string manifest = ManifestBeside();
  const std::string before = FileDigest(manifest.c_str());
  Recovered recovered;
  if (!RecoverInstallationAt(ParentOf(folder), recovered)) {
    ShowBox("Setup is running", "Another setup is at work on this installation.\nWait until it has ended.",
            MB_OK | MB_ICONWARNING);
    return 1;
  }
  if (recovered == Recovered::kNothing ||
      (!before.empty() && before == FileDigest(manifest.c_str()))) {
    return std::nullopt;
  }
  return EndAfterRecovery(recovered, "this installation");
}

// One run of the product at a time; what a killed run of it left is taken
// back (or carried to its end) before this run does anything.
std::optional<int> TakeTheProduct() {
  if (!TakeProductLock()) {
    ShowBox("Setup is running",
            ExpandedText("Another setup of [Description] is at work on this computer (an installation, "
                         "a repair or a removal).\nWait until it has ended, then start this one again.")
                .c_str(),
            MB_OK | MB_ICONWARNING);
    AbortRun();
  }
  const std::string manifest = ManifestBeside();
  const std::string before =
      InstalledManifestDigest() ? FileDigest(manifest.c_str()) : std::string();
  const Recovered recovered = RecoverProduct();
  // What this program read beside it was an interrupted run's.
  if (recovered != Recovered::kNothing && InstalledManifestDigest() &&
      before != FileDigest(manifest.c_str())) {
    return EndAfterRecovery(recovered, VariableOr("Description", VariableOr("Product")));
  }
  return std::nullopt;
}

}  // namespace

int RunInstaller() {
  // The folder given on the command line, checked before anything is done.
  if (const char* dir = InstallFolder(); dir && _stricmp(dir, "default") != 0 && !Mode().remove) {
    std::string why;
    if (CanonicalFolder(dir, &why).empty()) Fatal("The installation folder \"%s\" %s", dir, why.c_str());
  }
  const bool headless = Mode().headless;
  if (!headless) {
    // The file is checked while the splash comes up.
    StartFilecheck();
    ShowSplash();
  }
  if (std::optional<int> code = RecoverBeforeReading()) return *code;
  OpenInstallerArchive();
  // A removal is the installed copy's: a program that carries an archive
  // installs, and nothing else.
  if (Mode().install && Mode().remove) {
    Fatal("This is the installer of %s, not its installed copy: it installs, and removes nothing.\nRemove "
          "the installation with its own setup.exe (in its resources folder) or from the list of installed "
          "programs.",
          VariableOr("Description", VariableOr("Product")));
  }
  SettleFolders();
  std::string why;
  if (!SettleInstallFolder(&why)) {
    Fatal("The installation folder \"%s\" %s", InstallFolder(), why.c_str());
  }
  if (std::optional<int> code = TakeTheProduct()) return *code;
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

int RunProgram(char* command_line) {
  // Before anything loads a library by its name.
  RestrictLibrarySearch();
  LeaveProgramFolder();
  // Reading the command line splits it in place; the log names it whole.
  const std::string given = command_line;
  ReadCommandLine(command_line);
  const std::string refused = OpenRunLog(given.c_str());
  if (!refused.empty()) Fatal("%s", refused.c_str());
  for (uint32_t i = 0; i < vec_count(OptionsNotUnderstood()); i++) {
    LogLine("Option not understood, ignored: %s", vec_at<char>(OptionsNotUnderstood(), i));
  }
  if (const int error = CommandLineError()) FatalCode(error);
  srand(static_cast<unsigned>(time(nullptr)));

  const int code = Run();
  EndRunLog(code);
  return code;
}
