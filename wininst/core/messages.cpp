#include "wininst/core/messages.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "wininst/core/progress.h"
#include "wininst/core/tempfiles.h"
#include "wininst/core/variables.h"

namespace {

HWND owner;
void (*undo_work)();

[[noreturn]] void EndRunWith1() {
  EndRun(1);
  ExitProcess(1);
}

}  // namespace

void SetMessageOwner(void* window) {
  owner = static_cast<HWND>(window);
}

int ShowBox(const char* caption, const char* text, unsigned type) {
  // What the work reported so far is on the screen while the user reads the box.
  FlushProgress();
  return MessageBoxA(owner, text, caption, type);
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
  if (IsTrue("HeadlessInstall")) EndRunWith1();
}

void ShowNotice(const char* format, ...) {
  if (IsTrue("SuppressMessages")) return;
  FORMAT_MESSAGE(t, format);
  ShowBox("Error", t, MB_OK | MB_ICONINFORMATION);
}

void Fatal(const char* format, ...) {
  FORMAT_MESSAGE(t, format);
  ShowBox("Fatal error", t, MB_OK | MB_ICONERROR);
  EndRunWith1();
}

void FatalText(const char* text) {
  Fatal("%s", text);
}

void FatalCode(int code) {
  Fatal("Error %d", code);
}

void SetUndo(void (*undo)()) {
  undo_work = undo;
}

void EndRun(int code) {
  // Taken first: a failure while undoing ends the run without undoing again.
  if (void (*undo)() = code != 0 ? undo_work : nullptr) {
    undo_work = nullptr;
    undo();
  }
  DeleteTemporaryFiles();
  PostQuitMessage(code);
}
