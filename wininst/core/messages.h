// The message functions: the one place where texts reach the user.
#pragma once

#include <cstdarg>
#include <cstdio>

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
// A box of the given type (MB_ flags) with a text as it stands, owned like
// the others; it never ends the run. Returns the box's answer.
int ShowBox(const char* caption, const char* text, unsigned type);
// Diagnostic lines; accepted and dropped: the installer keeps no log.
void Trace(const char* format, ...) PRINTF_LIKE(1, 2);

// Deletes the run's temporary files and posts the quit message with `code`.
// A run that ends with a code other than 0 first undoes the work in hand.
void EndRun(int code);
// The work in hand: what an unfinished installation undoes when the run ends
// early (a confirmed Cancel, a fatal error). Null when there is none.
void SetUndo(void (*undo)());

// A new copy of `text` in which a space becomes "\n" once `width` characters
// have passed since the last break made this way.
char* WrapText(const char* text, int width);

// The window that owns every message box (none before the frame exists).
void SetMessageOwner(void* window);

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
