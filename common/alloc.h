// Allocation that never returns empty-handed, and new formatted strings.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

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

// A buffer of N items for the whole run, made on its first use: a static
// array would take its size in the program's file.
template <typename T, size_t N>
class RunBuffer {
 public:
  T* get() {
    if (!items_) items_ = static_cast<T*>(xmalloc(static_cast<uint32_t>(N * sizeof(T))));
    return items_;
  }
  static constexpr size_t size() { return N; }

 private:
  T* items_ = nullptr;
};

// value / 2^shift with `decimals` digits after the point, rounded as the
// formatted print rounds ("%.1f"), without floating point.
std::string FixedPoint(uint64_t value, unsigned shift, int decimals);
// A number in decimal (std::to_string's, without its several copies of the
// conversion in the installer program).
std::string Decimal(uint64_t value);
