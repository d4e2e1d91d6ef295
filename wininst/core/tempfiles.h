// The run's temporary folder and the list of what to delete when the run
// ends, also after a fatal error.
#pragma once

struct Vec;

// Paths (char*) to delete at the end of the run, the last recorded first: the
// temporary folder is always the first entry, so files go before it.
extern Vec* TempFiles;

// Creates the run's temporary folder under TEMP and sets TmpDir.
void CreateTempFolder();
// Records a copy of `path` for deletion at the end of the run.
void RecordTempFile(const char* path);
// Deletes every recorded file and (empty) folder; errors are ignored.
void DeleteTemporaryFiles();
