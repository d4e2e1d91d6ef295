// The run sequence: archive, rights, pages, post-sequence actions.
#pragma once

#ifdef _WIN32
#include <windows.h>
// The program's instance handle, recorded by the entry.
extern HINSTANCE AppInstance;
#endif

// Runs the whole installer; the result is the process exit code.
int RunInstaller();
bool IsAdministrator();
