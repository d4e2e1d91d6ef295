// crash_stub.exe: the installer itself with the crash points of the fault
// campaign. MERIDOX_CRASH_AT=n ends the process (exit code 99) right after
// the n-th change its run makes to the machine, as a kill or a power cut
// would; MERIDOX_CHANGES=path appends each change's number and kind to that
// file. Without them it is the installer.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "wininst/install/transaction.h"
#include "wininst/run.h"

namespace {

unsigned crash_at;
const char* trace;

void AtChange(unsigned number, const char* kind) {
  if (trace) {
    if (FILE* f = fopen(trace, "a")) {
      fprintf(f, "%u %s\n", number, kind);
      fclose(f);
    }
  }
  if (number == crash_at) TerminateProcess(GetCurrentProcess(), 99);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR command_line, int) {
  if (const char* at = getenv("MERIDOX_CRASH_AT")) crash_at = static_cast<unsigned>(strtoul(at, nullptr, 10));
  trace = getenv("MERIDOX_CHANGES");
  if (crash_at || trace) Transaction::change_seam = AtChange;
  return RunProgram(command_line);
}
