// crash_stub.exe: the installer itself with the crash points of the fault
// campaign. MERIDOX_CRASH_AT=n ends the process (exit code 99) right after
// the n-th change its run makes to the machine, as a kill or a power cut
// would; MERIDOX_CHANGES=path appends each change's number and kind to that
// file. MERIDOX_NO_SHELL=1 puts it on a desktop whose shell answers nothing
// (as in a service's session, or with no shell running): its own list of
// the shell's windows, which holds none, stands before the shell's. Without
// them it is the installer.
#include <windows.h>
#include <exdisp.h>

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

// Makes no list of the shell's windows: there is no desktop shell.
struct NoShellWindows : IClassFactory {
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** out) override {
    *out = id == IID_IUnknown || id == IID_IClassFactory ? this : nullptr;
    return *out ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void** out) override {
    *out = nullptr;
    return CO_E_SERVER_EXEC_FAILURE;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
} no_shell_windows;

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR command_line, int) {
  if (const char* at = getenv("MERIDOX_CRASH_AT")) crash_at = static_cast<unsigned>(strtoul(at, nullptr, 10));
  trace = getenv("MERIDOX_CHANGES");
  if (crash_at || trace) Transaction::change_seam = AtChange;
  DWORD cookie;
  if (getenv("MERIDOX_NO_SHELL") && SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
    CoRegisterClassObject(CLSID_ShellWindows, &no_shell_windows, CLSCTX_LOCAL_SERVER,
                          REGCLS_MULTIPLEUSE, &cookie);
  }
  return RunProgram(command_line);
}
