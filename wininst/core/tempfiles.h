// The run's temporary folder and the list of what to delete when the run
// ends, also after a fatal error.
#pragma once

#include <string>

struct Vec;

// Paths (char*) to delete at the end of the run, the last recorded first: the
// temporary folder is always the first entry, so files go before it. Null
// before the temporary folder is made.
Vec* TempFiles();

// Creates the run's temporary folder (CreatePrivateFolder), sets TmpDir and
// has the end of the run delete what is recorded.
void CreateTempFolder();
// A new folder under TEMP with a name from the system's random source
// (qz<number>), made new (never one that is there already) and, in an
// elevated run, with rights for Administrators and SYSTEM only; its path.
// Fatal when no such folder can be made.
std::string CreatePrivateFolder();
// Records a copy of `path` for deletion at the end of the run.
void RecordTempFile(const char* path);
// Deletes every recorded file and (empty) folder; errors are ignored.
void DeleteTemporaryFiles();
