// The run sequence: archive and manifest, rights, pages, post-sequence actions.
#pragma once

// Makes the folder of the program's own file the current folder: an
// installed copy finds its "manifest" beside itself this way.
void EnterProgramFolder();
// Runs the whole installer; the result is the process exit code.
int RunInstaller();
bool IsAdministrator();
