// Folders and files that an installation makes on disk, shared by the
// install engine, the shortcuts and the installed manifest.
#pragma once

#include <cstdint>
#include <string>

// Creates the folder and its missing parents (never a drive root), recording
// each in CreatedFolders, outermost first. True when it created the folder,
// false when it existed; a file in its place is fatal.
bool CreateFolderTree(const char* path);
// Copies the first `size` bytes of `source` to `destination` and records the
// destination in InstalledFiles. Failures are fatal.
void CopyFileInto(const char* source, const char* destination, uint32_t size);
// The installation's resources folder: "resources" under ResDir, or under
// InstDir when ResDir is unset or empty.
std::string ResourcesFolder();

// The journal of the folders an installation creates, kept under the
// product's key (which only administrators can change) until the installed
// manifest records them: a run that ends half-way, killed, leaves its folders
// behind, and the next installation of the product takes them over, so that
// a removal takes them away. Begin takes over what a journal holds.
void BeginFolderJournal();
void EndFolderJournal();
