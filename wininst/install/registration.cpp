#include "wininst/install/registration.h"

#include <cstdlib>
#include <string>

#include "common/alloc.h"
#include "common/registry.h"
#include "common/vector.h"
#include "wininst/core/ide.h"
#include "wininst/core/product.h"
#include "wininst/core/variables.h"
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
  char* key =
      xsprintf("Software\\MERIDOX Software\\SANDRIFT\\%s\\PL%s", version.c_str(), patch.c_str());
  RegData dir = reg_get_string(kRegLocalMachine, key, "InstDir");
  free(key);
  if (dir.error != 0) return;  // not registered: no IDE shortcut, no IDE to run
  free(ide_path);
  ide_path = xsprintf("%s\\bin\\sandrift.exe", dir.data);
  free(dir.data);
  // The registered folder is a path, not a shortcut line: a "," or ">" in it
  // stays part of the target.
  AddShortcutRecord(kIdeShortcut, ide_path, "", "");
}

}  // namespace

void RegisterProduct() {
  WriteInstallLocation();
  WriteRegistryEntries();
  WriteUninstallEntry();
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
  if (!RegistryEntries) return;
  for (uint32_t i = 0; i < vec_count(RegistryEntries); i++) {
    RegistryEntry* e = vec_at<RegistryEntry>(RegistryEntries, i);
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
