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

std::string BreakLongWords(const char* text, size_t width) {
  std::string r;
  size_t line = 0;       // where the current run begins in r
  size_t backslash = 0;  // just after the run's last backslash in r (0: none)
  for (const char* p = text; *p; p++) {
    if (*p == ' ' || *p == '\n' || *p == '\t') {
      r += *p;
      line = r.size();
      backslash = 0;
      continue;
    }
    if (r.size() - line == width) {
      const size_t at = backslash > line ? backslash : r.size();
      r.insert(at, 1, '\n');
      line = at + 1;
      backslash = 0;
    }
    r += *p;
    if (*p == '\\') backslash = r.size();
  }
  return r;
}

void Trace(const char*, ...) {}
