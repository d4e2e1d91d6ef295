// product_probe.exe: runs the product registration's operations the way the
// installer does, for tests that check the registry from outside.
//
// The command line is read by the installer's own ReadCommandLine, so every
// input is a "--setVariable-Name=value" option. ProbeAction is a
// comma-separated list of steps, run in order:
//   keys            builds the key names (fixing them, as their first use does)
//   write-location  WriteInstallLocation
//   register        RegisterProduct
//   unregister      UnregisterProduct; false makes the exit code 1
//   check           CheckNewerVersion; false makes the exit code 1
//   volatile        creates ProductVersionKey as a volatile key (its parents
//                   non-volatile), so that no non-volatile key fits below it
//   cfasm           SetupCFASM
//   slot            PluginSlot
//   mta             joins the multi-threaded apartment, where OLE cannot start
//   Name=value      sets an installer variable between two steps
// The exit code is 0 when every step succeeded, 1 when one returned false (or
// a fatal error ended the run), 2 for an unknown step or a system failure.
// When ProbeReport names a file, it receives the key names, PatchLevel, the
// IDE's path, HoltekIDEPath, the plug-in's slot and its registered path and
// version, and the shortcut list as "name=value" lines.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/vector.h"
#include "wininst/core/entry.h"
#include "wininst/install/ide.h"
#include "wininst/core/product.h"
#include "wininst/core/variables.h"
#include "wininst/install/manifest.h"
#include "wininst/core/messages.h"
#include "wininst/install/registration.h"
#include "wininst/install/transaction.h"

namespace {

bool CreateVolatileVersionKey() {
  std::string key = ProductVersionKey();
  std::string parent = key.substr(0, key.rfind('\\'));
  HKEY k;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, parent.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_WRITE, nullptr, &k, nullptr) != 0) {
    return false;
  }
  RegCloseKey(k);
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_WRITE,
                      nullptr, &k, nullptr) != 0) {
    return false;
  }
  RegCloseKey(k);
  return true;
}

void WriteReport(const char* path) {
  FILE* f = fopen(path, "w");
  if (!f) return;
  const char* pl = GetVariable("PatchLevel");
  const char* ide = IdeExecutablePath();
  const char* holtek = GetVariable("HoltekIDEPath");
  fprintf(f, "ProductVersionKey=%s\nProductKey=%s\nUninstallKey=%s\nPatchLevel=%s\nIde=%s\n",
          ProductVersionKey(), ProductKey(), UninstallKey(), pl ? pl : "", ide ? ide : "");
  fprintf(f, "HoltekIDEPath=%s\nSlot=%d\nPluginPath=%s\nPluginVersion=%s\n", holtek ? holtek : "",
          KnownPluginSlot(), PluginInstalledPath().value_or("").c_str(),
          PluginInstalledVersion().value_or("").c_str());
  for (uint32_t i = 0; Shortcuts() && i < vec_count(Shortcuts()); i++) {
    Shortcut* s = vec_at<Shortcut>(Shortcuts(), i);
    fprintf(f, "Shortcut=%s|%s|%s|%s\n", s->name.c_str(), s->target.c_str(), s->arguments.c_str(),
            s->icon.c_str());
  }
  fclose(f);
}

// The steps' changes are one transaction, as a run's are: taken back when a
// failure ends the probe, committed at its end.
class Run final : public RunOwner {
 public:
  ~Run() { SetRunOwner(nullptr); }
  Transaction& Changes() {
    if (!transaction_.Active()) {
      TakeProductLock();
      RecoverProduct();
      SetRunOwner(this);
      transaction_.Begin(Transaction::Kind::kRepair);
    }
    return transaction_;
  }
  void Abandon() override { transaction_.Abandon(); }
  void Commit() { transaction_.Commit(); }

 private:
  Transaction transaction_;
};

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR command_line, int) {
  ReadCommandLine(command_line);
  const char* actions = GetVariable("ProbeAction");
  std::string list = actions ? actions : "";
  int result = 0;
  Run run;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    std::string step = list.substr(start, end - start);
    start = end + 1;
    if (step.empty()) continue;
    if (size_t eq = step.find('='); eq != std::string::npos) {
      SetVariable(step.substr(0, eq).c_str(), step.substr(eq + 1).c_str());
    } else if (step == "keys") {
      UninstallKey();  // builds ProductKey and ProductVersionKey first
    } else if (step == "write-location") {
      WriteInstallLocation(run.Changes());
    } else if (step == "register") {
      RegisterProduct(run.Changes());
    } else if (step == "unregister") {
      if (!UnregisterProduct(run.Changes())) result = 1;
      run.Changes().Apply();
    } else if (step == "check") {
      if (!CheckNewerVersion()) result = 1;
    } else if (step == "volatile") {
      if (!CreateVolatileVersionKey()) return 2;
    } else if (step == "cfasm") {
      SetupCFASM(run.Changes());
    } else if (step == "slot") {
      PluginSlot();
    } else if (step == "mta") {
      if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
    } else {
      return 2;
    }
  }
  run.Commit();
  if (const char* report = GetVariable("ProbeReport")) WriteReport(report);
  return result;
}
