// The run's install journal: what this run has done to the machine while it
// installs, so that a run that ends before the installation is complete (a
// confirmed Cancel, a fatal error, or a killed run that the next run of the
// product finds) is taken back: the files it made are deleted, those it
// replaced are put back from the copies it set aside, the registry values it
// set or deleted get their former data (or absence) again, the keys and
// folders it made go when they are empty.
//
// The journal is kept as it happens, so that it survives a killed run: its
// registry part (the places of the installation, the folders, the former
// registry values, the keys made) under the product's key, which only
// administrators can change; the files made and set aside in a file of an
// undo folder inside the installation folder, beside the copies. An undo
// reads only the journal, and deletes or puts back nothing outside the
// installation's places (nor through a link): the file in the installation
// folder can name nothing else. A maintenance run's list of what the
// installation holds is never the journal's to delete.
#pragma once

#include <string>
#include <vector>

#include "wininst/install/output.h"

// The installation starts: first takes back what a killed run of the
// product left (RecoverKilledRun), then keeps the journal from here on
// (the registry's changes included) and has the end of the run undo it
// unless the installation is committed.
void BeginJournal();
// Takes back a killed installation of this product, when one left its
// journal; nothing otherwise.
void RecoverKilledRun();
// Opens `path` for the installation's writing (output.h): a new file, or,
// when one is there, a new file in its place while the one that was there
// is set aside to be put back by an undo. A link in its place is refused
// (fatally). kFailed with errno set.
OutputOpened OpenInstallationFile(const char* path);
// An installation file that may be written where it is (a plain file with
// one name, that nobody else has open): kUnchanged when it holds the `size`
// bytes at `bytes` already; kOverwriting when it is now the output, emptied
// to be written again, its former bytes copied into the undo folder first;
// kNot when it is no such file (OpenInstallationFile then).
enum class InPlace { kUnchanged, kOverwriting, kNot };
InPlace OverwriteInstallationFile(const char* path, const uint8_t* bytes, uint32_t size);
// Sets the file at `path` aside before the run makes another in its place
// (a shortcut); false (errno set) when it cannot be moved. A link in its
// place is refused (fatally).
bool SetAside(const char* path);
// The run makes the file at `path` (not through OpenInstallationFile):
// named before it is made.
void JournalCreated(const char* path);
// The run is about to make these files in a folder it has just made: named
// all at once (one write), before the first is made; each is then opened
// with OpenFileInNewFolder.
void JournalCreatedAll(const std::vector<std::string>& paths);
// Opens `path`, named by JournalCreatedAll, as a new file; when one is
// there after all (put there since the folder was made), as
// OpenInstallationFile does.
OutputOpened OpenFileInNewFolder(const char* path);
// The run made the folder at `path`.
void JournalFolder(const char* path);
// The installation is complete and recorded by its installed manifest: the
// copies set aside go, and nothing is undone from now on.
void CommitJournal();
// Takes back what the journal holds, newest first. Runs once.
void UndoJournal();
