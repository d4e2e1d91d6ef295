// The run's install journal: what this run has done to the machine while it
// installs, so that a run that ends before the installation is complete (a
// confirmed Cancel, a fatal error, a killed run found by the next one) takes
// it back. It holds the files the run made and those it overwrote, the
// folders it made (also kept under the product's key, which only
// administrators can change, until the installed manifest records them),
// and whether the run registered a product that was not registered before.
// An undo reads only the journal: a maintenance run's lists of what the
// installation holds are never its to delete.
#pragma once

// The installation starts: takes over the folders that a killed run of the
// product left (they become the installation's too) and has the end of the
// run undo the journal unless the installation is committed.
void BeginJournal();
// The run made the file at `path` (`replaced`: over a file that was there).
void JournalFile(const char* path, bool replaced);
// The run made the folder at `path`.
void JournalFolder(const char* path);
// The run registers the product; `was_registered`: it was registered before.
void JournalRegistration(bool was_registered);
// The installation is complete and recorded by its installed manifest:
// nothing is undone from now on.
void CommitJournal();
// Takes back what the journal holds (newest first): the open output file is
// closed, the files the run made are deleted (a file it overwrote stays as
// it is now), the folders it made are removed when empty, and a product the
// run registered anew is unregistered. Runs once.
void UndoJournal();
