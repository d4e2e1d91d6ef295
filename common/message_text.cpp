// The message functions' parts that need no window and are the same for
// every program: text wrapping and the trace hook (which keeps nothing).
#include <cstring>

#include "common/alloc.h"
#include "common/messages.h"

char* WrapText(const char* text, int width) {
  size_t len = strlen(text);
  char* r = static_cast<char*>(xmalloc(static_cast<uint32_t>(len + 1)));
  int since_break = 0;
  for (size_t i = 0; i < len; i++) {
    if (text[i] == ' ' && since_break >= width) {
      r[i] = '\n';
      since_break = 0;
    } else {
      r[i] = text[i];
      since_break++;
    }
  }
  return r;
}

void Trace(const char*, ...) {}
