#include "wininst/core/messages.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "wininst/install/archive.h"
#include "wininst/core/variables.h"

namespace {

HWND owner;

struct Text {
  char buf[4096];
};

Text Format(const char* format, va_list args) {
  Text t;
  vsnprintf(t.buf, sizeof t.buf, format, args);
  return t;
}

int Box(const char* caption, const char* text, UINT type) {
  return MessageBoxA(owner, text, caption, type);
}

[[noreturn]] void FatalBox(const char* text) {
  Box("Fatal error", text, MB_OK | MB_ICONERROR);
  EndRun(1);
  ExitProcess(1);
}

}  // namespace

void SetMessageOwner(void* window) { owner = static_cast<HWND>(window); }

bool AskRetry(const char* caption, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Text t = Format(format, args);
  va_end(args);
  return Box(caption, t.buf, MB_RETRYCANCEL | MB_ICONWARNING) == IDRETRY;
}

bool AskYesNo(const char* caption, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Text t = Format(format, args);
  va_end(args);
  return Box(caption, t.buf, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

int ShowInfo(const char* caption, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Text t = Format(format, args);
  va_end(args);
  return Box(caption, t.buf, MB_OK | MB_ICONINFORMATION);
}

void ShowError(const char* caption, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Text t = Format(format, args);
  va_end(args);
  Box(caption, t.buf, MB_OK | MB_ICONERROR);
  if (IsTrue("HeadlessInstall")) {
    EndRun(1);
    ExitProcess(1);
  }
}

void ShowNotice(const char* format, ...) {
  if (IsTrue("SuppressMessages")) return;
  va_list args;
  va_start(args, format);
  Text t = Format(format, args);
  va_end(args);
  Box("Error", t.buf, MB_OK | MB_ICONINFORMATION);
}

void Fatal(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Text t = Format(format, args);
  va_end(args);
  FatalBox(t.buf);
}

void FatalText(const char* text) { Fatal("%s", text); }

void FatalCode(int code) { Fatal("Error %d", code); }

void EndRun(int code) {
  DeleteTemporaryFiles();
  PostQuitMessage(code);
}
