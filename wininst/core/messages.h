// The installer's side of the message functions (declared in
// common/messages.h): the boxes' owner, and how a run ends.
#pragma once

#include "common/messages.h"

// A box of the given type (MB_ flags) with a text as it stands, owned like
// the others; it never ends the run. Returns the box's answer.
int ShowBox(const char* caption, const char* text, unsigned type);

// Ends the run: an early end (a code other than 0) first has the run's
// owner take back its unfinished work; then the temporary files go and the
// quit message is posted with `code`.
void EndRun(int code);
// The owner of the work that changes the machine, while it works: a fatal
// error or a confirmed Cancel marks the run as ending early, and the owner
// takes its work back (once) before the process ends.
class RunOwner {
 public:
  virtual void Abandon() = 0;

 protected:
  ~RunOwner() = default;
};
// The owner from now on; null once the work is done.
void SetRunOwner(RunOwner* owner);
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
