// The run sequence: archive and manifest, rights, pages, post-sequence actions.
#pragma once

// The whole program from its command line (as Windows hands it over,
// without the program's name): its start-up steps in their order, the run,
// the exit code.
int RunProgram(char* command_line);
// Makes the folder of the program's own file the current folder: an
// installed copy finds its "manifest" beside itself this way.
void EnterProgramFolder();
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
