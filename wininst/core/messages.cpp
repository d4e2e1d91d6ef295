#include "wininst/core/messages.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>


#include "wininst/core/progress.h"
#include "wininst/core/runlog.h"
#include "wininst/core/runmode.h"
#include "wininst/core/tempfiles.h"
#include "wininst/core/variables.h"

namespace {

// A run of characters without a space that a box can show on one line.
constexpr size_t kBoxRunLimit = 80;

HWND owner;
RunOwner* run_owner;
// What the work waits for now, if anything, and whether a Cancel came meanwhile.
bool waiting;
WorkWait::Kind waiting_for;
bool cancel_pending;

// The answer that stops safely, for a box nobody sees.
int SafeAnswer(unsigned type) {
  switch (type & MB_TYPEMASK) {
    case MB_YESNO: return IDNO;
    case MB_ABORTRETRYIGNORE: return IDABORT;
    case MB_OKCANCEL:
    case MB_YESNOCANCEL:
    case MB_RETRYCANCEL: return IDCANCEL;
    default: return IDOK;
  }
}

const char* AnswerName(int answer) {
  switch (answer) {
    case IDOK: return "OK";
    case IDCANCEL: return "Cancel";
    case IDYES: return "Yes";
    case IDNO: return "No";
    case IDRETRY: return "Retry";
    case IDABORT: return "Abort";
    case IDIGNORE: return "Ignore";
    default: return "closed";
  }
}

}  // namespace

WorkWait::WorkWait(Kind kind) : previous_(waiting_for), had_previous_(waiting) {
  waiting = true;
  waiting_for = kind;
}

WorkWait::~WorkWait() {
  waiting = had_previous_;
  waiting_for = previous_;
}

bool CancelPending() {
  return cancel_pending;
}

void CancelRun() {
  if (!waiting) AbortRun();
  if (cancel_pending) return;
  cancel_pending = true;
  if (waiting_for == WorkWait::kProgram) {
    ShowInfo("Cancel setup",
             "Setup will stop when the program that is running now has ended,\nand then take back "
             "what it has done.");
  }
}

void AbortRun() {
  EndRun(1);
  EndRunLog(1);
  ExitProcess(1);
}

void SetMessageOwner(void* window) {
  owner = static_cast<HWND>(window);
}

int ShowBox(const char* caption, const char* text, unsigned type) {
  if (Mode().unattended) {
    const int answer = SafeAnswer(type);
    LogLine("%s: %s [%s, unattended]", caption, text, AnswerName(answer));
    return answer;
  }
  // What the work reported so far is on the screen (and in the log) while
  // the user reads the box.
  FlushProgress();
  const int answer = MessageBoxA(owner, BreakLongWords(text, kBoxRunLimit).c_str(), caption, type);
  LogLine("%s: %s [%s]", caption, text, AnswerName(answer));
  return answer;
}

bool AskRetry(const char* caption, const char* format, ...) {
  FORMAT_MESSAGE(t, format);
  return ShowBox(caption, t, MB_RETRYCANCEL | MB_ICONWARNING) == IDRETRY;
}

bool AskYesNo(const char* caption, const char* format, ...) {
  FORMAT_MESSAGE(t, format);
  return ShowBox(caption, t, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

int ShowInfo(const char* caption, const char* format, ...) {
  FORMAT_MESSAGE(t, format);
  return ShowBox(caption, t, MB_OK | MB_ICONINFORMATION);
}

void ShowError(const char* caption, const char* format, ...) {
  FORMAT_MESSAGE(t, format);
  ShowBox(caption, t, MB_OK | MB_ICONERROR);
  if (Mode().headless) AbortRun();
}

void ShowNotice(const char* format, ...) {
  FORMAT_MESSAGE(t, format);
  if (IsTrue("SuppressMessages")) {
    LogLine("Error: %s [not shown: SuppressMessages]", t);
    return;
  }
  ShowBox("Error", t, MB_OK | MB_ICONINFORMATION);
}

void Fatal(const char* format, ...) {
  FORMAT_MESSAGE(t, format);
  ShowBox("Fatal error", t, MB_OK | MB_ICONERROR);
  AbortRun();
}

void FatalText(const char* text) {
  Fatal("%s", text);
}

void FatalCode(int code) {
  Fatal("Error %d", code);
}

void SetRunOwner(RunOwner* owner) {
  run_owner = owner;
}

void EndRun(int code) {
  // Taken before it runs: a failure inside the owner's undo ends the run
  // without running it again.
  if (RunOwner* owner = run_owner; owner && code != 0) {
    run_owner = nullptr;
    owner->Abandon();
  }
  DeleteTemporaryFiles();
  PostQuitMessage(code);
}
