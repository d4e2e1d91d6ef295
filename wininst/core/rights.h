// Whether the run has the rights of the local administrators.
#pragma once

#include <optional>

// True when the process's token counts as a member of the local
// Administrators group (an elevated run); empty on older systems that lack
// the membership test.
std::optional<bool> MemberOfAdministrators();

// Makes the folder at `path` new (never one that is there already) with
// rights for Administrators and SYSTEM only, whatever it would inherit, in
// an elevated run (elsewhere as the system makes it); false (error set by
// the system) when it cannot.
bool CreatePrivateFolderAt(const char* path);
// Makes the folder at `path` new with rights that let only Administrators
// and SYSTEM change it or what is made in it (ordinary users read and run),
// owned by the Administrators, whatever it would inherit from the folder
// above; false (error set by the system) when it cannot.
bool CreateInstallationFolderAt(const char* path);
// Gives a folder that is there those rights and that owner (a folder that
// holds what administrators run); false when it cannot.
bool SecureInstallationFolder(const char* path);
