// The manifest's shortcuts, made after an installation or a repair.
#pragma once

// Creates every shortcut in the start-menu folder and records the link files.
void CreateShortcuts();
// Writes one shell link; description, arguments, working folder and icon may
// be null. Returns the save result. Failures are fatal.
long MakeShellLink(const char* target, const char* link, const char* description,
                   const char* arguments, const char* working_folder, const char* icon);
