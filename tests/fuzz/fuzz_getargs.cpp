// Fuzz target: splitting a command line into arguments. The fatal error for
// an over-long argument is the splitter's normal answer; only crashes,
// overflows and hangs are findings.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/getargs.h"
#include "tests/fuzz/fuzz_messages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  try {
    char** argv = arg_split(text.data());
    for (char** a = argv + 1; *a; a++) {
      if (strlen(*a) > kMaxArgument) abort();
      free(*a);
    }
    free(argv);
  } catch (const FuzzFatal&) {
  }
  return 0;
}
