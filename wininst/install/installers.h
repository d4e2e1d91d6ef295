// External installers: programs that install a feature instead of files from
// the archive, lying beside the installer, held in an installer variable or
// downloaded; and the wait for another program while the window answers.
#pragma once

#include <cstdint>

struct Feature;

// Starts a program through the shell ("open") and waits for it while the
// window keeps answering and the bar creeps forward; true when it was
// started and ended with exit code 0.
bool RunAndWait(const char* program, const char* arguments);
// Waits for a started program (its process handle) while the window keeps
// answering, with `creep_bar` the bar creeping forward; a Cancel meanwhile
// ends the run once the program has ended. False when its exit code can't
// be read.
bool AwaitProgram(void* program, unsigned long& code, bool creep_bar);
// The download's progress callback: the bar follows the transfer and the
// rate line, every three seconds, replaces the latest status line.
void DownloadProgress(uint32_t received, uint32_t total);
// Runs the feature's installers in turn until one succeeds, then evaluates
// the feature again; asks whether to go on when none can be found or none
// succeeds (No ends the run).
void RunFeatureInstallers(Feature* f);
