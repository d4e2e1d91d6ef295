#include "wininst/install/drivers.h"

#include <windows.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>

#include "common/handle.h"
#include "common/osdep.h"
#include "common/syslib.h"
#include "wininst/core/messages.h"
#include "wininst/core/progress.h"
#include "wininst/core/variables.h"
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

  static const auto update =
      DeviceFunction<UpdateDriverFn>("newdev.dll", "UpdateDriverForPlugAndPlayDevicesA");
  BOOL restart = FALSE;
  if (!update || !update(static_cast<HWND>(ProgressWindow()), f->driver_device.c_str(), inf.get(), 0, &restart)) {
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
