// The program's entry: the command line becomes installer variables and the
// run mode is decided before the run sequence starts.
#pragma once

struct Vec;

// Component names excluded with "--no-" and selected with "--with-"
// (compared without regard to case); a name is in one list at most, the
// one of its latest option.
Vec* ExcludedComponents();
Vec* SelectedComponents();
// "--help" or "/?" was given: the run lists the options and ends.
bool HelpAsked();
// Applies the option table to arguments 0..n of an argument vector.
void ApplyOptions(char** argv);
// The arguments (char*) the option table did not take, as given: unknown
// options and malformed ones ("--setVariable-NAME" without "=").
Vec* OptionsNotUnderstood();
// The error the command line's own splitting met (917: an argument too
// long), 0 for none: reported once the rest of the line has been read, so
// that --unattended and --log= hold wherever they stand.
int CommandLineError();
// A folder and the licence option together make the run headless.
void DecideRunMode();
// Splits the command line (without the program name) and applies it.
void ReadCommandLine(char* command_line);

// The window class of every installer of this kind.
constexpr const char* kFrameClass = "MERIDOX Installer";
