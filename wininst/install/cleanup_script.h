// The clean-up script: what a run cannot delete while it runs (its own
// program file, the folders that hold it) goes once the program has ended,
// deleted by a script of the system's command interpreter that the run
// starts as its very last action.
#pragma once

#include <string>

#include "common/vector.h"

// Leaves a file (the run's own program) and the folders that hold it to the
// script; the script is started at the end of the run.
void DeleteAfterRun(const std::string& file);
void RemoveFolderAfterRun(const std::string& folder);
// Whether the script can name `path` (in the code page the command
// interpreter reads, or by its short name); what it cannot goes at the
// restart.
bool Scriptable(const std::string& path);
// Writes the script into a new private folder and starts it hidden; it
// deletes itself and its folder at its end. Nothing happens when nothing
// was left to it.
void StartRemovalScript();
// A removal sets what other programs held to go when the computer restarts;
// an installation into `folder` that has put files back in those places
// takes them (and the folders that hold them) off that list, or the restart
// would delete them from it. Only plain deletions of the installation's
// `files` and of their folders in `folder` are taken off; nothing else is
// touched.
void KeepAtRestart(const std::string& folder, Vec* files);
