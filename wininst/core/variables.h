// The installer variables: one store of named texts, names without regard to
// case, and [Name] references expanded anywhere in a text.
#pragma once

#include <string>

// Replaces the variable; returns the store's copy of the value. An absent
// value is a programming error and ends the run.
const char* SetVariable(const char* name, const char* value);
const char* GetVariable(const char* name);
// The value, or `fallback` while the variable is unset.
const char* VariableOr(const char* name, const char* fallback = "");
void ClearVariable(const char* name);
void SetFlag(const char* name, bool on);
// True for "yes" or "true" in any case.
bool IsTrue(const char* name);
bool VariableEquals(const char* name, const char* text);
// A new text with every [Name] replaced by the variable's value.
char* ExpandVariables(const char* text);
// The same, as a string.
std::string ExpandedText(const char* text);
// Version up to its first "PL", fixed at the first call.
const char* ShortVersion();
// Orders two version texts (<0, 0, >0): part by part between the dots, each
// part by its leading number as a number, then by the text after it (as
// text), a missing part as an empty one: 10.00 is newer than 9.70, 1.10
// newer than 1.9, 9.70a newer than 9.70, and 1.0 the same as 1. A number
// past the largest the system's unsigned long holds counts as that one.
int CompareVersions(const char* a, const char* b);
// Re-entrant tokenizer: from `text` (or, given null, from *pos) skips
// delimiters, ends the token with a NUL and leaves in *pos where to go on.
char* NextToken(char* text, const char* delimiters, char** pos);

constexpr int kMaxExpanded = 8191;
constexpr int kMaxVariableName = 254;
