#include "common/getargs.h"

#include <cstring>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "common/messages.h"

namespace {

const char kEmpty[] = "";

bool is_separator(char c) { return c == ' ' || c == '\t' || c == '\n'; }
bool is_quote(char c) { return c == '\'' || c == '"'; }

}  // namespace

char** arg_split(char* text, int* error) {
  while (*text == ' ') text++;
  size_t len = strlen(text);
  while (len > 0 && (text[len - 1] == ' ' || text[len - 1] == '\r')) text[--len] = '\0';

  // Arguments are gathered in owned strings first, so that the fatal error for
  // an over-long argument leaves nothing half-built behind.
  std::vector<std::string> args;
  const char* p = text;
  for (;;) {
    while (is_separator(*p)) p++;
    if (*p == '\0') break;

    std::string arg;
    char quote = '\0';
    bool too_long = false;
    for (; *p != '\0' && (quote || !is_separator(*p)); p++) {
      char c = *p;
      if (quote && c == quote) {
        quote = '\0';
      } else if (!quote && is_quote(c)) {
        quote = c;
      } else if (arg.size() < kMaxArgument) {
        arg.push_back(c);
      } else if (!error) {
        FatalCode(kArgumentTooLong);
      } else {
        too_long = true;
      }
    }
    if (too_long) {
      *error = kArgumentTooLong;
    } else {
      args.push_back(std::move(arg));
    }
  }

  char** argv = static_cast<char**>(xmalloc(static_cast<uint32_t>((args.size() + 2) * sizeof(char*))));
  argv[0] = const_cast<char*>(kEmpty);
  for (size_t i = 0; i < args.size(); i++) {
    char* s = static_cast<char*>(xmalloc(static_cast<uint32_t>(args[i].size() + 1)));
    memcpy(s, args[i].data(), args[i].size());
    argv[i + 1] = s;
  }
  return argv;
}
