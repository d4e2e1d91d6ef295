// Settles the program-files folder, the start-menu folder and the default
// installation folder once the manifest's variables are known; and the
// installation folder itself, which is read and written here only.
#pragma once

#include <string>

void ResolveFolders();
// True once ResolveFolders has run.
bool FoldersResolved();

// The installation folder (InstDir): its canonical form (paths.h) once it
// is settled; "default" or the text as given before; `unset` while unset.
const char* InstallFolder(const char* unset = nullptr);
// Sets the installation folder to the canonical form of `folder`; false,
// with the reason in `why`, for a folder the installation refuses (nothing
// is set then).
bool SetInstallFolder(const char* folder, std::string* why = nullptr);
// The folder page's text as typed, kept while the user goes Back: it is
// settled when the page is left forward.
void KeepTypedInstallFolder(const char* text);
// The folder an installed copy runs for (the one above its resources
// folder), in the system's form.
void SetFoundInstallFolder(const char* folder);
// Settles the folder the variables hold now: its canonical form, or for a
// folder registered or installed before in another form, the system's form
// of it. False, with the reason, when the installation refuses it.
bool SettleInstallFolder(std::string* why);
// Tries what the installation will do for the canonical folder `folder`:
// makes a folder in it or, when it is missing, in the nearest folder on the
// way, and removes it again. False, with the reason in `why` (to follow
// "The installation folder ... "), when it cannot be made or written to.
bool TryInstallFolder(const std::string& folder, std::string* why);
