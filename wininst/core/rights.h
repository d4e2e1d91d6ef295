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
