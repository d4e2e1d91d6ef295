// File-name operations with Windows conventions (backslash separators).
#pragma once

// folder + one backslash + name, as a new string; null for an empty folder.
char* path_join(const char* folder, const char* name);
// The text after the last backslash, else the last "/", else the last ":".
const char* path_tail(const char* path);
char* path_tail(char* path);
int file_exists(const char* path);
int is_folder(const char* path);
