// The message functions: the one place where texts reach the user. Declared
// here, in the common library, which reports through them too (allocation
// failures, downloads); each program defines them: the installer shows
// message boxes, the archive builder prints lines, tests record them.
#pragma once

#include <cstdarg>
#include <cstdio>

#include <string>

#define PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))

// Each formats its text into 4096 characters (longer texts are cut).
bool AskRetry(const char* caption, const char* format, ...) PRINTF_LIKE(2, 3);
bool AskYesNo(const char* caption, const char* format, ...) PRINTF_LIKE(2, 3);
int ShowInfo(const char* caption, const char* format, ...) PRINTF_LIKE(2, 3);
// Returns in an interactive run; ends a headless run with exit code 1.
void ShowError(const char* caption, const char* format, ...) PRINTF_LIKE(2, 3);
// Silent while SuppressMessages is true.
void ShowNotice(const char* format, ...) PRINTF_LIKE(1, 2);
[[noreturn]] void Fatal(const char* format, ...) PRINTF_LIKE(1, 2);
[[noreturn]] void FatalText(const char* text);
[[noreturn]] void FatalCode(int code);
// Diagnostic lines; accepted and dropped.
void Trace(const char* format, ...) PRINTF_LIKE(1, 2);

// A new copy of `text` in which a space becomes "\n" once `width` characters
// have passed since the last break made this way.
char* WrapText(const char* text, int width);
// `text` with a line break in every run of more than `width` characters
// without a space or line end (a long path): after its last backslash that
// keeps the line within `width`, else after `width` characters. A box's
// text is laid out at spaces only; such a run would make it wider than the
// screen.
std::string BreakLongWords(const char* text, size_t width);

// For the implementations of the functions above (the installer's boxes, the
// builder's console lines): declares `text`, a buffer of 4096 characters,
// and formats into it the arguments that follow `format` in the variadic
// function it stands in, cut at 4095 characters.
#define FORMAT_MESSAGE(text, format)                    \
  char text[4096];                                      \
  do {                                                  \
    va_list format_args_;                               \
    va_start(format_args_, format);                     \
    vsnprintf(text, sizeof text, format, format_args_); \
    va_end(format_args_);                               \
  } while (0)
