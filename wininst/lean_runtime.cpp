// The stub's own answers to the few C++ runtime services its code reaches:
// the program has no exceptions, so the library's throwing paths (each
// pulling in the exception machinery, the unwinder and a name demangler) are
// replaced by an end of the run with a message.
#include <zlib.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

namespace {
// CRC-32 tables for eight bytes at a time, made at the first use: in the
// program's zeroed data, not in its file (zlib's own take 7 KB there).
uint32_t crc_tables[8][256];
}  // namespace

// zlib's inflate checks the gzip member's CRC-32 through this name.
extern "C" uLong ZEXPORT crc32(uLong crc, const Bytef* buf, uInt len) {
  if (!buf) return 0;
  if (crc_tables[0][1] == 0) {
    for (uint32_t n = 0; n < 256; n++) {
      uint32_t c = n;
      for (int k = 0; k < 8; k++) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      crc_tables[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; n++) {
      for (int t = 1; t < 8; t++) crc_tables[t][n] = (crc_tables[t - 1][n] >> 8) ^ crc_tables[0][crc_tables[t - 1][n] & 0xFF];
    }
  }
  uint32_t c = static_cast<uint32_t>(crc) ^ 0xFFFFFFFFu;
  while (len && (reinterpret_cast<uintptr_t>(buf) & 3)) {
    c = crc_tables[0][(c ^ *buf++) & 0xFF] ^ (c >> 8);
    len--;
  }
  while (len >= 8) {
    uint32_t one, two;
    memcpy(&one, buf, 4);
    memcpy(&two, buf + 4, 4);
    one ^= c;
    c = crc_tables[7][one & 0xFF] ^ crc_tables[6][(one >> 8) & 0xFF] ^ crc_tables[5][(one >> 16) & 0xFF] ^
        crc_tables[4][one >> 24] ^ crc_tables[3][two & 0xFF] ^ crc_tables[2][(two >> 8) & 0xFF] ^
        crc_tables[1][(two >> 16) & 0xFF] ^ crc_tables[0][two >> 24];
    buf += 8;
    len -= 8;
  }
  while (len--) c = crc_tables[0][(c ^ *buf++) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

// zlib's inflate takes its memory here (zlib's own zutil.c is not built:
// see third_party/zlib-inflate).
extern "C" voidpf zcalloc(voidpf, unsigned items, unsigned size) {
  return calloc(items, size);
}
extern "C" void zcfree(voidpf, voidpf p) {
  free(p);
}
