// File-name operations with Windows conventions (backslash separators).
#pragma once

// folder + one backslash + name, as a new string; null for an empty folder.
char* path_join(const char* folder, const char* name);
// The text after the last backslash, else the last "/", else the last ":".
const char* path_tail(const char* path);
char* path_tail(char* path);
int file_exists(const char* path);
// 1 for a full path: a drive's ("C:\\...") or a network share's ("\\\\server\\share...").
int is_full_path(const char* path);
// A full path that names one place plainly: no "." or ".." (nor a name the
// system shortens to one: a trailing dot or space), no empty name, no
// stream (":"), no "/", no device or raw form (\\?\, \\.\). What a
// journal may name, so that "C:\a\..\b" cannot pass as lying in C:\a.
int is_plain_path(const char* path);
int is_folder(const char* path);
// Why the system would not take `name` (one name of a path) as a file or
// folder of its own: a device's name (CON, NUL, COM1, ..., with or without an
// extension, CONIN$, CONOUT$, CLOCK$); null when it would.
const char* windows_name_problem(const char* name);
// 1 when the path itself is a link (a reparse point: a junction or a
// symbolic link, to a file or a folder), not followed.
int is_link(const char* path);

#ifdef _WIN32
// The runtime library's error number for a Win32 error, as its own file
// functions set it: messages that name a file's error keep the numbers the
// runtime gave them.
int errno_of(unsigned long win32_error);
#endif
