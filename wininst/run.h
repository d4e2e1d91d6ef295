// The run sequence: archive and manifest, rights, pages, post-sequence actions.
#pragma once

// The whole program from its command line (as Windows hands it over,
// without the program's name): its start-up steps in their order, the run,
// the exit code.
int RunProgram(char* command_line);
// Makes the system folder the current folder, whatever folder the program
// was started in (its medium's, most often a Downloads folder anybody may
// write to): nothing the run or a program it starts looks for in its
// current folder (a library, a program named bare) can be one a user put
// there. What lies beside the program is named by its full path.
void LeaveProgramFolder();
// The run's opening: the archive found and checked (or the installed
// manifest beside the program read), the manifest parsed, the resources
// extracted into the temporary folder and the features evaluated against
// the registry. Every failure is fatal.
void OpenInstallerArchive();
// Runs the whole installer; the result is the process exit code.
int RunInstaller();
// Lists the options in a box (--help); the exit code.
int ShowOptions();
// What an unattended run lacks to run without anybody (null: nothing).
const char* MissingForUnattended();
bool IsAdministrator();
