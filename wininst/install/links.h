// Links (reparse points: junctions, symbolic links) are never followed out
// of what the installation owns.
#pragma once

#include <string>
#include <vector>

// The installation's places as the variables name them now: the
// installation folder, ResDir and the product's start-menu folder.
std::vector<std::string> InstallationPlaces();
// Whether `path` lies below one of `places` (not one of them itself).
bool InPlaces(const std::string& path, const std::vector<std::string>& places);

// The installation's places are the anchors: the installation folder,
// ResDir and the product's start-menu folder. A path's anchor and the folders below it on the way
// to the path are looked at; above the anchor the system's own layout
// (a relocated profile or program-files folder) is taken as it is.

// The first of the anchor and the folders below it on the way to `folder`
// (the folder included) that is a link; empty when there is none. Folders
// that do not exist (yet) end the look.
std::string LinkOnTheWay(const std::string& folder);
std::string LinkOnTheWay(const std::string& folder, const std::vector<std::string>& places);
// Holds the folders from the anchor down to `folder` so that nobody can
// move, delete or replace them (with a link) while the run writes or
// deletes in them; the folders held before are let go. Returns the first of
// them that is a link (the folders above it stay held), empty when there
// is none: nothing may be written or deleted through it.
std::string HoldFolders(const std::string& folder);
// HoldFolders, fatal (naming the link) when there is a link on the way.
void HoldFoldersForWriting(const std::string& folder);
// Ends the run: `path` is a link, and nothing is written through one.
[[noreturn]] void RefuseLink(const std::string& path);
// Lets every held folder go: before the run removes folders itself.
void ReleaseFolders();

