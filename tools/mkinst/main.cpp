// mkinst's entry point and the console forms of the message functions: the
// shared modules report through them, and the builder must never pull in
// the installer's message boxes.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "tools/mkinst/cli.h"
#include "tools/mkinst/pack.h"
#include "common/messages.h"

namespace {

void Print(const char* caption, const char* text) {
  fprintf(stderr, "mkinst: %s%s%s\n", caption ? caption : "", caption ? ": " : "", text);
}

[[noreturn]] void Stop() {
  mkinst::RemovePendingOutput();
  exit(1);
}

}  // namespace

bool AskRetry(const char* caption, const char* format, ...) {
  FORMAT_MESSAGE(text, format);
  Print(caption, text);
  return false;
}

bool AskYesNo(const char* caption, const char* format, ...) {
  FORMAT_MESSAGE(text, format);
  Print(caption, text);
  return false;
}

int ShowInfo(const char* caption, const char* format, ...) {
  FORMAT_MESSAGE(text, format);
  Print(caption, text);
  return 0;
}

void ShowError(const char* caption, const char* format, ...) {
  FORMAT_MESSAGE(text, format);
  Print(caption, text);
  Stop();
}

void ShowNotice(const char* format, ...) {
  FORMAT_MESSAGE(text, format);
  Print(nullptr, text);
}

void Fatal(const char* format, ...) {
  FORMAT_MESSAGE(text, format);
  Print(nullptr, text);
  Stop();
}

void FatalText(const char* text) {
  Fatal("%s", text);
}
void FatalCode(int code) {
  Fatal("Error %d", code);
}

int main(int argc, char** argv) {
  return mkinst::RunMkinst(argc, argv);
}
