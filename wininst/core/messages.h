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

// A confirmed Cancel (or the window closed while a page works). The run ends
// at once (AbortRun), its work taken back, unless the work waits for
// something it cannot drop at once: while an external program runs, the run
// says that it will stop when the program has ended, and the waiting work
// ends the run then; a transfer notices and stops at its next block.
void CancelRun();
// The work waits for another program (kProgram) or a transfer (kTransfer)
// while the object lives; a Cancel meanwhile is kept (CancelPending).
class WorkWait {
 public:
  enum Kind { kProgram, kTransfer };
  explicit WorkWait(Kind kind);
  ~WorkWait();
  WorkWait(const WorkWait&) = delete;
  WorkWait& operator=(const WorkWait&) = delete;

 private:
  Kind previous_;
  bool had_previous_;
};
// True once a Cancel came while the work waited: the work ends the run
// (AbortRun) as soon as its wait is over.
bool CancelPending();

// The window that owns every message box (none before the frame exists).
void SetMessageOwner(void* window);
