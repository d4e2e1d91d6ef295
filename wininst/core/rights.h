// Whether the run has the rights of the local administrators.
#pragma once

#include <optional>

// True when the process's token counts as a member of the local
// Administrators group (an elevated run); empty on older systems that lack
// the membership test.
std::optional<bool> MemberOfAdministrators();
