// The installer's side of the message functions (declared in
// common/messages.h): the boxes' owner, and how a run ends.
#pragma once

#include "common/messages.h"

// A box of the given type (MB_ flags) with a text as it stands, owned like
// the others; it never ends the run. Returns the box's answer.
int ShowBox(const char* caption, const char* text, unsigned type);

// Ends the run: runs the clean-up hooks (newest first) and posts the quit
// message with `code`.
void EndRun(int code);
// What the end of the run must do, with the run's exit code: delete the
// temporary files, undo an unfinished installation (when the code is not 0).
// Kept for the rest of the run; a hook runs once.
void AddEndRunHook(void (*hook)(int code));
// Ends the run with exit code 1 at once, after its clean-up (a confirmed
// Cancel, a fatal error, an error in a headless run).
[[noreturn]] void AbortRun();

// The window that owns every message box (none before the frame exists).
void SetMessageOwner(void* window);
