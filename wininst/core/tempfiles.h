// The run's temporary folder and the list of what to delete when the run
// ends, also after a fatal error.
#pragma once

#include <string>

struct Vec;

// Paths (char*) to delete at the end of the run, the last recorded first: the
// temporary folder is always the first entry, so files go before it. Null
// before the temporary folder is made.
Vec* TempFiles();

// Creates the run's temporary folder (CreatePrivateFolder) and sets TmpDir;
// the end of the run (EndRun) deletes what is recorded. False when no
// folder could be made.
bool CreateTempFolder();
// A new folder under TEMP with a name from the system's random source
// (qz<number>), made new (never one that is there already) and, in an
// elevated run, with rights for Administrators and SYSTEM only; its path,
// or empty (the path tried in `tried`) when no such folder can be made.
std::string CreatePrivateFolder(std::string* tried = nullptr);
// Records a copy of `path` for deletion at the end of the run.
void RecordTempFile(const char* path);
// Deletes every recorded file and (empty) folder; errors are ignored.
void DeleteTemporaryFiles();
