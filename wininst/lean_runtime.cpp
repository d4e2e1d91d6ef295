// The stub's own answers to the few C++ runtime services its code reaches:
// the program has no exceptions, so the library's throwing paths (each
// pulling in the exception machinery, the unwinder and a name demangler) are
// replaced by an end of the run with a message.
#include <zlib.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "common/messages.h"

namespace {
[[noreturn]] void OutOfRange() { FatalText("Internal error: a text or list outgrew its limits"); }
}  // namespace

// The library's operator new throws std::bad_alloc, which no code here
// catches: running out of memory ends the run as xmalloc ends it.
void* operator new(size_t size) {
  if (void* p = malloc(size ? size : 1)) return p;
  FatalText("Out of memory");
}
void* operator new[](size_t size) { return operator new(size); }
// The library's own catches the exception of the throwing one.
void* operator new(size_t size, const std::nothrow_t&) noexcept { return malloc(size ? size : 1); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }

namespace std {
void __throw_length_error(const char*) { OutOfRange(); }
void __throw_logic_error(const char*) { OutOfRange(); }
void __throw_out_of_range(const char*) { OutOfRange(); }
void __throw_out_of_range_fmt(const char*, ...) { OutOfRange(); }
void __throw_invalid_argument(const char*) { OutOfRange(); }
void __throw_bad_alloc() { FatalText("Out of memory"); }
void __throw_bad_array_new_length() { FatalText("Out of memory"); }
void __throw_bad_function_call() { OutOfRange(); }
}  // namespace std

namespace __gnu_cxx {
void __verbose_terminate_handler() { abort(); }
}  // namespace __gnu_cxx

// The library's C headers send every printf of C++ code to MinGW's own
// formatter, which brings floating point conversions and wide characters
// along (27 KB). The stub formats only integers and texts: the system's
// formatter does that, behind MinGW's snprintf semantics (always ended,
// the full length returned). Formats are those the system's formatter takes:
// no %zu or %hhu, which the printf checks of the stub's own functions report.
extern "C" {
int __cdecl __ms_vsnprintf(char* out, size_t size, const char* format, va_list args);
int __cdecl __mingw_vsnprintf(char* out, size_t size, const char* format, va_list args) {
  return __ms_vsnprintf(out, size, format, args);
}
int __cdecl __mingw_vfprintf(FILE* file, const char* format, va_list args) {
  return __ms_vfprintf(file, format, args);
}
}

// zlib's inflate names Adler-32, the check of zlib streams, beside CRC-32,
// the check of gzip members. The stub inflates only its archive's gzip
// member: a plain loop stands in for zlib's unrolled one (1.9 KB). Should
// the stub ever use more of zlib's Adler-32, the link fails on the name.
extern "C" uLong ZEXPORT adler32(uLong adler, const Bytef* buf, uInt len) {
  if (!buf) return 1;
  uLong a = adler & 0xFFFF, b = adler >> 16;
  while (len--) {
    a = (a + *buf++) % 65521;
    b = (b + a) % 65521;
  }
  return b << 16 | a;
}
