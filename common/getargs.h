// Splitting one line of text into an argument vector.
#pragma once

// Splits `text` (changed in place: trailing spaces and carriage returns are
// cut) into a null-terminated array whose entry 0 is always the empty string,
// standing where a program name would stand. Entries 1..n are new strings.
// An argument longer than kMaxArgument characters is a fatal error (917);
// given `error`, it is left out instead, the split goes on with the next
// one and *error becomes 917 (it stays as it is otherwise), so that the
// caller reads the rest of the line before it reports the error.
char** arg_split(char* text, int* error = nullptr);

constexpr int kMaxArgument = 255;
constexpr int kArgumentTooLong = 917;
