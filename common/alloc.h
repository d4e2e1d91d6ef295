// Allocation that never returns empty-handed, and new formatted strings.
#pragma once

#include <cstdarg>
#include <cstdint>

// A new zero-filled block; on failure the program ends (see alloc.cpp).
void* xmalloc(uint32_t size);
// A new copy of s.
char* xstrdup(const char* s);
// A new string holding a followed by b.
char* xstrcat(const char* a, const char* b);
// A new string of exactly the formatted length, at most 4095 characters.
char* xsprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
char* xvsprintf(const char* format, va_list args);

// Longest formatted text that the system builds, without its terminator.
constexpr int kMaxFormatted = 4095;
