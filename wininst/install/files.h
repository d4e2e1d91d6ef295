// Folders and files that an installation makes on disk, shared by the
// install engine, the shortcuts and the installed manifest.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Creates the folder and its missing parents (never a drive root), recording
// each in CreatedFolders, outermost first. True when it created the folder,
// false when it existed; a file in its place is fatal.
bool CreateFolderTree(const char* path);
// Copies the first `size` bytes of `source` (read from `opened` when that is
// given, a stream the copy closes) to `destination` and records the
// destination in InstalledFiles. Failures are fatal.
void CopyFileInto(const char* source, const char* destination, uint32_t size,
                  FILE* opened = nullptr);
// Links (reparse points: junctions, symbolic links) are never followed out
// of what the installation owns. The installation's places are the anchors:
// the installation folder, ResDir and the start-menu folder above the
// product's shortcuts. A path's anchor and the folders below it on the way
// to the path are looked at; above the anchor the system's own layout
// (a relocated profile or program-files folder) is taken as it is.

// The first of the anchor and the folders below it on the way to `folder`
// (the folder included) that is a link; empty when there is none. Folders
// that do not exist (yet) end the look.
std::string LinkOnTheWay(const std::string& folder);
// Holds the folders from the anchor down to `folder` so that nobody can
// move, delete or replace them (with a link) while the run writes or
// deletes in them; the folders held before are let go. Returns the first of
// them that is a link (the folders above it stay held), empty when there
// is none: nothing may be written or deleted through it.
std::string HoldFolders(const std::string& folder);
// HoldFolders, fatal (naming the link) when there is a link on the way.
void HoldFoldersForWriting(const std::string& folder);
// Lets every held folder go: before the run removes folders itself.
void ReleaseFolders();

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
