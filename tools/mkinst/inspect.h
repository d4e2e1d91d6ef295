// Reading a finished installer back: what it holds (--list), its files
// (--extract) and whether the installer would take it whole (--verify).
//
// The file is read as the installer reads its own: the header on the grid,
// the filecheck, the record stream after the header, the manifest's own
// rules. It may come from anywhere, so every length is checked and no name
// in it places a file outside the folder it is extracted to.
#pragma once

#include <filesystem>

namespace mkinst {

// Each writes what it found to stdout and its problems to stderr, and
// returns the exit code: 0, or 1 for a file it can't use (or, for
// --verify, one that the installer would not take whole).
int ListInstaller(const std::filesystem::path& installer);
// Writes the resources under their file names, the feature files under
// their folders and the manifest text as "manifest" into `dir`, a new or
// empty folder: mkinst packs that folder and manifest into the product again.
int ExtractInstaller(const std::filesystem::path& installer, const std::filesystem::path& dir);
int VerifyInstaller(const std::filesystem::path& installer);

}  // namespace mkinst
