// The program's entry: the command line becomes installer variables and the
// run mode is decided before the run sequence starts.
#pragma once

struct Vec;

// Component names excluded with "--no-" (compared without regard to case).
Vec* ExcludedComponents();
// Applies the option table to arguments 0..n of an argument vector.
void ApplyOptions(char** argv);
// A folder and the licence option together make the run headless.
void DecideRunMode();
// Splits the command line (without the program name) and applies it.
void ReadCommandLine(char* command_line);

// The window class of every installer of this kind.
constexpr const char* kFrameClass = "MERIDOX Installer";
