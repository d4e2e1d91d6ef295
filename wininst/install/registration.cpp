#include "wininst/install/registration.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>
#include <string>

#include "common/alloc.h"
#include "common/handle.h"
#include "common/messages.h"
#include "common/registry.h"
#include "common/vector.h"
#include "wininst/install/ide.h"
#include "wininst/core/product.h"
#include "wininst/core/runmode.h"
#include "wininst/core/variables.h"
#include "wininst/install/features.h"
#include "wininst/install/manifest.h"

namespace {

constexpr const char* kIdeShortcut = "SANDRIFT Integrated Development Environment";

// The maker's IDE found by the last registration; null until then.
char* ide_path;

// SANDRIFTShortCut names the IDE's version as "<version>[L<patch>]".
void FindIde(const char* value) {
  std::string version = value, patch = "0";
  if (size_t l = version.find('L'); l != std::string::npos) {
    patch = version.substr(l + 1);
    version.resize(l);
  }
  const std::string key = "Software\\MERIDOX Software\\SANDRIFT\\" + version + "\\PL" + patch;
  std::string dir;
  // Not registered: no IDE shortcut, no IDE to run.
  if (reg_read(kRegLocalMachine, key.c_str(), "InstDir", dir) != 0) return;
  free(ide_path);
  ide_path = xsprintf("%s\\bin\\sandrift.exe", dir.c_str());
  // The registered folder is a path, not a shortcut line: a "," or ">" in it
  // stays part of the target.
  AddShortcutRecord(kIdeShortcut, ide_path, "", "");
}

}  // namespace

void RegisterProduct() {
  WriteInstallLocation();
  WriteRegistryEntries();
  WriteUninstallEntry();
  // The size of what an installation puts on the disk; a repair leaves the
  // one its installation wrote.
  if (Mode().install) reg_set_dword(kRegLocalMachine, UninstallKey(), "EstimatedSize", RequiredSpaceKB());
  if (IsTrue("EditHoltekIDE")) ConfigureHoltekIDE();
  if (IsTrue("SetupFASM")) SetupCFASM();
  if (IsTrue("InstallTESSERAPlugin")) {
    // Stored before the plug-in registers itself; it travels with the
    // product's key to the next installation.
    if (int slot = KnownPluginSlot(); slot != -1) {
      reg_set_dword(kRegLocalMachine, ProductKey(), "MPIndex", static_cast<uint32_t>(slot));
    }
    RegisterPlugin();
  }
  if (const char* ide = GetVariable("SANDRIFTShortCut")) FindIde(ide);
}

void WriteRegistryEntries() {
  if (!RegistryEntries()) return;
  for (uint32_t i = 0; i < vec_count(RegistryEntries()); i++) {
    RegistryEntry* e = vec_at<RegistryEntry>(RegistryEntries(), i);
    if (e->is_string) {
      reg_set_string(e->root, e->key.c_str(), e->value_name.c_str(), e->text.c_str());
    } else {
      reg_set_dword(e->root, e->key.c_str(), e->value_name.c_str(), e->dword);
    }
  }
}

const char* IdeExecutablePath() {
  return ide_path;
}

bool CheckNewerVersion() {
  bool answer = true;
  const char* version = ShortVersion();
  const std::string family = FamilyKey();

  long error = 0;
  const std::vector<std::string> installed = reg_subkeys(kRegLocalMachine, family.c_str(), &error);
  // Only the opening reports "not found"; a listing cut short by a long name
  // still tells that the key is there.
  if (error == 0 || error == ERROR_MORE_DATA || !installed.empty()) {
    // The plug-in product is measured against the plug-in that is registered
    // now, wherever it was installed from.
    std::optional<std::string> newest;
    if (IsPluginProduct()) {
      newest = PluginInstalledVersion();
    } else if (TextHandle best{BestInstalledVersion(family.c_str())}) {
      newest = best.get();
    }
    if (newest && strcmp(newest->c_str(), version) > 0) {
      answer = false;
      if (!Mode().headless) {
        answer = AskYesNo("Install older version?",
                          "A newer version (%s) of %s, is already installed.\nAre you sure you "
                          "want to install version (%s)?",
                          newest->c_str(), VariableOr("Product", ""), version);
      }
    }
  }
  Trace("Proceed with installation = %s (%u)", answer ? "True" : "False", answer ? 1u : 0u);
  return answer;
}
