// Paths as the installation keeps and compares them: one form for every
// folder it writes in, registers and finds again.
#pragma once

#include <string>

// The system's own form of a full path: "/" taken as "\", doubled
// separators, "." and "..", and the dots and spaces that end a name dropped,
// as the system itself reads the path; no trailing "\" except at a drive's
// root; the drive letter in upper case. Paths registered in other forms
// (by earlier installations) are found again through it. A text that is no
// full path comes back as it is.
std::string SystemForm(const char* path);
// The form of an installation folder: a full path that the system takes as
// it is written (its SystemForm). Empty, with the reason in `why`, for a
// folder the installation refuses: no full path, a drive's or a share's
// root, a name that ends in a dot or a space, "." or "..", a name the
// system reserves or a character no name may hold.
std::string CanonicalFolder(const char* path, std::string* why);
// The same place, whatever form either is written in.
bool SamePath(const std::string& a, const std::string& b);
// `path` lies below `folder` (not `folder` itself); both as written.
bool PathBelow(const std::string& path, const std::string& folder);
// The program's own file, and its folder; empty when they cannot be told.
std::string ProgramPath();
std::string ProgramFolder();
// A path the manifest or the command line gives for a file on the
// program's medium, as a full path: a relative one ("redist\setup.exe",
// "..\redist\setup.exe") taken from the program's own folder, one from a
// drive's root ("\redist\setup.exe") on that folder's drive; a full path, or
// one on another drive's current folder ("D:setup.exe"), as it is. The
// program's current folder is never its medium's: nothing is found there.
std::string FromProgramFolder(const std::string& path);
// The text before the last "\"; empty when there is none.
std::string ParentOf(const std::string& path);
