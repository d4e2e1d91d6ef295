#include "common/alloc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/messages.h"

namespace {
char* scratch;  // the formatting buffer of the running xsprintf call
}

void* xmalloc(uint32_t size) {
  void* p = calloc(1, size ? size : 1);
  if (!p) {
    fprintf(stderr, "can't allocate %u bytes of memory\n", size);
    // Nothing sensible can follow; end the run the way every fatal error does.
    FatalText("Out of memory");
  }
  return p;
}

char* xstrdup(const char* s) { return xstrcat(s, ""); }

char* xstrcat(const char* a, const char* b) {
  size_t la = strlen(a), lb = strlen(b);
  char* r = static_cast<char*>(xmalloc(static_cast<uint32_t>(la + lb + 1)));
  memcpy(r, a, la);
  memcpy(r + la, b, lb);
  return r;
}

char* xvsprintf(const char* format, va_list args) {
  scratch = static_cast<char*>(xmalloc(kMaxFormatted + 1));
  int n = vsnprintf(scratch, kMaxFormatted + 1, format, args);
  if (n > kMaxFormatted) fputs("buffer overflow in vsnprintf", stderr);
  size_t len = strlen(scratch);
  char* result = static_cast<char*>(xmalloc(static_cast<uint32_t>(len + 1)));
  memcpy(result, scratch, len);
  free(scratch);
  scratch = nullptr;
  return result;
}

char* xsprintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char* r = xvsprintf(format, args);
  va_end(args);
  return r;
}

std::string FixedPoint(uint64_t value, unsigned shift, int decimals) {
  uint64_t scale = 1;
  for (int i = 0; i < decimals; i++) scale *= 10;
  const uint64_t scaled = value * scale;
  uint64_t q = scaled >> shift;
  if (shift > 0) {
    // The quotient is exact in binary: a tie rounds to the even neighbour.
    const uint64_t rest = scaled & ((uint64_t{1} << shift) - 1);
    const uint64_t half = uint64_t{1} << (shift - 1);
    if (rest > half || (rest == half && (q & 1))) q++;
  }
  std::string digits = Decimal(q);
  if (decimals == 0) return digits;
  const size_t places = static_cast<size_t>(decimals);
  if (digits.size() <= places) digits = std::string(places + 1 - digits.size(), '0') + digits;
  return digits.substr(0, digits.size() - places) + "." + digits.substr(digits.size() - places);
}

std::string Decimal(uint64_t value) {
  char digits[24];
  char* p = digits + sizeof digits;
  *--p = '\0';
  do {
    *--p = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value);
  return p;
}
