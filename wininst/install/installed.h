// What the installation holds: the files and folders that its installed
// manifest lists and a removal takes away, and the installed manifest
// itself (written after a fresh installation, checked by every maintenance
// run). A fresh installation adds what it
// writes; a maintenance run reads them from the installed manifest. Never
// what an undo reads: that is the run's transaction (transaction.h).
#pragma once

#include <string>
#include <vector>

struct Vec;
class Transaction;

// The installation's resources folder: "resources" under ResDir, or under
// InstDir when ResDir is unset or empty.
std::string ResourcesFolder();

// Paths (char*), in the order recorded.
Vec* InstalledFiles();
// Paths (char*), outermost first as recorded (the installed manifest lists
// them innermost first).
Vec* CreatedFolders();
// Adds a copy of `path` to InstalledFiles, or to CreatedFolders when it is
// not there yet (in any letter case).
void RecordInstalledFile(const char* path);
void RecordCreatedFolder(const char* path);
// Takes over what the manifest's [Folders] and [Files] lines list (an
// installed manifest's lists), right after the manifest is read.
void RecordListedPaths();

// Writes the installed manifest after a fresh installation (nothing
// otherwise) and keeps its digest under the product's key.
void WriteInstalledManifest(Transaction& transaction);
// The installation that the run's installation goes over in its own folder
// (this product, any version, registered in that folder with the digest of
// the installed manifest there): the files and folders that its installed
// manifest lists, folders innermost first. False when there is none.
bool PreviousInstallation(std::vector<std::string>& files, std::vector<std::string>& folders);

// In a run without an archive: ends the run unless the registry records the
// installation in the folder the program runs from with the digest of the
// manifest beside it, and unless the run is a repair or removal.
void CheckInstalledManifest();
