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
// Why Windows would not keep `name` (one name of a path, never a drive such
// as "C:") as one file or folder name, as a short reason ("ends in a dot or
// a space, which Windows drops"); null when it keeps it as it stands.
// Refused: an empty name; a name ending in a dot or a space (".", "..",
// "...", "bin."), which the system trims to another name; a device name,
// with or without an extension and spaces before it (CON, PRN, AUX, NUL,
// COM0-COM9, LPT0-LPT9, COM and LPT with the superscript digits 1, 2 and 3
// of the ANSI code page (bytes 0xB9, 0xB2, 0xB3), CONIN$, CONOUT$, CLOCK$:
// "nul.txt" is the NUL device); a character no name may hold: < > : " / \ |
// ? * and control characters. Letters compare without regard to case. Bytes
// above 127 are allowed: they are the code page's.
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
