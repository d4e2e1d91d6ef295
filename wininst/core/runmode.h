// The run's mode: what the run does and how. Decided in one place,
// SetRunMode, by the entry (from the command line), the archive (a program
// that carries one installs) and the welcome page (repair or remove); the
// installer variables Install, Repair, Remove, HeadlessInstall, DoProceed and
// Unattended mirror it for whatever reads them.
#pragma once

struct RunMode {
  bool install = false;   // a fresh installation from the program's archive
  bool repair = false;    // registry entries and shortcuts again
  bool remove = false;    // the installation goes
  bool headless = false;  // no window: every page works on entry and passes itself over
  bool proceed = false;   // no questions on the welcome and completion pages
  bool unattended = false;  // no box at all: each goes to the log with the answer that stops safely
};

const RunMode& Mode();
// Changes the mode and the variables that mirror it.
void SetRunMode(const RunMode& mode);
// The mode as the variables say it (the command line may set any of them).
RunMode RunModeFromVariables();
