#include "wininst/install/drivers.h"

#include <windows.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>

#include "common/alloc.h"
#include "common/handle.h"
#include "common/osdep.h"
#include "common/syslib.h"
#include "wininst/core/messages.h"
#include "wininst/core/progress.h"
#include "wininst/core/variables.h"
#include "wininst/install/archive.h"
#include "wininst/install/installers.h"
#include "wininst/install/manifest.h"

namespace {

using SystemText = Handle<char*, LocalFree>;

using CopyOEMInfFn = BOOL(WINAPI*)(PCSTR, PCSTR, DWORD, DWORD, PSTR, DWORD, PDWORD, PSTR*);
using UpdateDriverFn = BOOL(WINAPI*)(HWND, LPCSTR, LPCSTR, DWORD, PBOOL);

// The device-installation libraries are no known system libraries: they are
// loaded from the system folder when the first driver is installed, never
// found by name beside the program. Kept for the rest of the run.
template <typename F>
F DeviceFunction(const char* library, const char* name) {
  return SystemFunction<F>(LoadSystemLibrary(library), name);
}

// Shows that `what` failed for the feature, with the system's own words for
// the error beneath: an administrator needs the reason to put it right. An
// error the system has no words for (the driver store's own codes, under
// some systems) is shown by its code: a driver that did not install must
// never pass in silence.
void ReportFailure(const char* what, const Feature* f, DWORD error) {
  SystemText reason;
  const DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  DWORD n =
      FormatMessageA(flags, nullptr, error, 0, reinterpret_cast<char*>(reason.put()), 0, nullptr);
  char code[32];
  const char* r = code;
  if (n > 0 && reason) {
    char* t = reason.get();
    while (n > 0 && strchr(" \t\r\n", t[n - 1])) t[--n] = '\0';
    r = t;
  } else {
    // The driver store's codes are known by their hexadecimal form.
    snprintf(code, sizeof code, error > 0xFFFF ? "Error 0x%08lX" : "Error %lu", error);
  }
  char text[4096];
  snprintf(text, sizeof text, "%s for %s\n\n%s", what, f->name.c_str(), r);
  ShowBox("Driver Install Error", text, MB_OK | MB_ICONERROR);
}

// A 32-bit process on a 64-bit system (WOW64), where the system refuses it
// device installation (ERROR_IN_WOW64). The test is looked up: older
// systems lack it, and have no WOW64 either.
bool UnderWow64() {
  using IsWow64Fn = BOOL(WINAPI*)(HANDLE, PBOOL);
  const auto is_wow64 = reinterpret_cast<IsWow64Fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsWow64Process")));
  BOOL wow64 = FALSE;
  return is_wow64 && is_wow64(GetCurrentProcess(), &wow64) && wow64;
}

// The device update of UpdateDriverForPlugAndPlayDevices, done by the 64-bit
// device helper that the installer carries: the same arguments, and its
// exit code the result (ERROR_SUCCESS_REBOOT_REQUIRED: updated, restart).
BOOL UpdateThroughHelper(HWND owner, const char* id, const char* inf, BOOL* restart) {
  // Each argument in quotes, which no path holds: a hardware ID that would
  // end its quotes early is none the system knows.
  const size_t n = strlen(id);
  if (strchr(id, '"') || (n > 0 && id[n - 1] == '\\')) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const char* helper = DeviceHelper();
  if (!helper) return FALSE;
  TextHandle line(xsprintf("\"%s\" %lu \"%s\" \"%s\"", helper, HandleToULong(owner), id, inf));
  // It starts in the run's own folder, which ordinary users cannot change.
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(helper, line.get(), nullptr, nullptr, FALSE, 0, nullptr, VariableOr("TmpDir"),
                      &startup, &process)) {
    return FALSE;
  }
  CloseHandle(process.hThread);
  unsigned long code = ERROR_GEN_FAILURE;
  const bool ended = AwaitProgram(process.hProcess, code, false);
  CloseHandle(process.hProcess);
  if (ended && (code == ERROR_SUCCESS || code == ERROR_SUCCESS_REBOOT_REQUIRED)) {
    *restart = code == ERROR_SUCCESS_REBOOT_REQUIRED;
    return TRUE;
  }
  SetLastError(ended ? code : ERROR_GEN_FAILURE);
  return FALSE;
}

}  // namespace

void InstallDriver(const Feature* f) {
  TextHandle folder(ExpandVariables("[InstDir]\\drivers"));
  TextHandle inf(path_join(folder.get(), f->driver_inf.c_str()));

  static const auto copy_inf = DeviceFunction<CopyOEMInfFn>("setupapi.dll", "SetupCopyOEMInfA");
  if (!copy_inf) {
    ReportFailure("Unable to install driver files", f, GetLastError());
    return;
  }
  if (!copy_inf(inf.get(), nullptr, SPOST_PATH, SP_COPY_NOOVERWRITE, nullptr, 0, nullptr,
                nullptr)) {
    // An INF the driver store holds already is no failure, and leaves
    // nothing to update.
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS) ReportFailure("Unable to install driver files", f, error);
    return;
  }
  if (f->driver_device.empty()) return;

  const HWND owner = static_cast<HWND>(ProgressWindow());
  BOOL restart = FALSE;
  BOOL updated;
  if (UnderWow64()) {
    updated = UpdateThroughHelper(owner, f->driver_device.c_str(), inf.get(), &restart);
  } else {
    static const auto update =
        DeviceFunction<UpdateDriverFn>("newdev.dll", "UpdateDriverForPlugAndPlayDevicesA");
    updated = update && update(owner, f->driver_device.c_str(), inf.get(), 0, &restart);
  }
  if (!updated) {
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS) ReportFailure("Unable to driver for active devices", f, error);
    return;
  }
  // Until the restart the devices keep their old driver: whoever installs
  // must know, unless they asked for no notices.
  if (restart && !IsTrue("SuppressMessages")) {
    char text[4096];
    snprintf(text, sizeof text,
             "The driver for %s is installed.\nRestart the computer to finish its installation.",
             f->name.c_str());
    ShowBox("Driver Install", text, MB_OK | MB_ICONINFORMATION);
  }
}
