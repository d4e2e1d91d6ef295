#include "wininst/install/registration.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>
#include <string>

#include "common/alloc.h"
#include "common/handle.h"
#include "common/messages.h"
#include "common/registry.h"
#include "common/vector.h"
#include "wininst/install/ide.h"
#include "wininst/core/folders.h"
#include "wininst/core/paths.h"
#include "wininst/core/product.h"
#include "wininst/core/runmode.h"
#include "wininst/core/variables.h"
#include "wininst/install/features.h"
#include "wininst/install/manifest.h"
#include "wininst/install/transaction.h"

namespace {

constexpr const char* kIdeShortcut = "SANDRIFT Integrated Development Environment";
constexpr const char* kPublisher = "MERIDOX Software";

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

uint32_t DecimalValue(const char* text) {
  return static_cast<uint32_t>(strtoul(text, nullptr, 10));
}

// The uninstall entry's values; failures are ignored: the product works
// without its uninstall entry.
void WriteUninstallEntry(Transaction& t) {
  const std::string key = UninstallKey();
  const char* version = VariableOr("Version", "");
  auto text = [&](const char* name, const std::string& value) { t.SetString(kRegLocalMachine, key, name, value); };
  auto optional = [&](const char* name, const char* variable) {
    if (const char* v = GetVariable(variable)) text(name, v);
  };
  const std::string setup = VariableOr("SETUP", "");
  optional("DisplayIcon", "ICON");
  text("DisplayName", ExpandedText("[Description] V[Version][PatchLevel]"));
  text("DisplayVersion", version);
  optional("HelpLink", "SupportURL");
  t.SetNumber(kRegLocalMachine, key, "NoRepair", 1);
  text("Publisher", kPublisher);
  text("UninstallString", "\"" + setup + "\" --remove");
  text("QuietUninstallString", "\"" + setup + "\" --remove-silently --unattended");
  text("InstallLocation", "\"" + std::string(InstallFolder("")) + "\"");
  optional("HelpTelephone", "PhoneNo");
  optional("URLUpdateInfo", "UpdateURL");
  optional("Readme", "README");
  char today[16];
  time_t now = time(nullptr);
  strftime(today, sizeof today, "%Y%m%d", localtime(&now));
  text("InstallDate", today);
  t.SetNumber(kRegLocalMachine, key, "VersionMajor", DecimalValue(version));
  if (const char* dot = strrchr(version, '.')) {
    t.SetNumber(kRegLocalMachine, key, "VersionMinor", DecimalValue(dot + 1));
  }
  // The size of what an installation puts on the disk; a repair leaves the
  // one its installation wrote.
  if (Mode().install) t.SetNumber(kRegLocalMachine, key, "EstimatedSize", RequiredSpaceKB());
}

// Deletes every value of `key`.
void DeleteValuesOf(Transaction& t, const std::string& key) {
  for (const std::string& name : reg_value_names(kRegLocalMachine, key.c_str())) {
    t.DeleteValue(kRegLocalMachine, key, name);
  }
}

}  // namespace

void WriteInstallLocation(Transaction& t) {
  t.SetString(kRegLocalMachine, ProductKey(), "InstDir", InstallFolder(""), true);
  if (const char* build = GetVariable("BuildNo")) t.SetNumber(kRegLocalMachine, ProductKey(), "BuildNo", DecimalValue(build), true);
  // An empty name would put the entry's values on the App Paths key itself.
  const char* appname = GetVariable("Appname");
  if (appname && *appname) {
    const std::string key = AppPathsKey(appname);
    t.SetString(kRegLocalMachine, key, "Path", ExpandedText("[InstDir]\\bin"));
    t.SetString(kRegLocalMachine, key, "", ExpandedText("[InstDir]\\bin\\[Appname]"));
  }
  t.Apply();
}

void RegisterProduct(Transaction& t) {
  WriteInstallLocation(t);
  WriteRegistryEntries(t);
  WriteUninstallEntry(t);
  t.Apply();
  if (IsTrue("EditHoltekIDE")) ConfigureHoltekIDE();
  if (IsTrue("SetupFASM")) SetupCFASM(t);
  if (IsTrue("InstallTESSERAPlugin")) {
    // Stored before the plug-in registers itself; it travels with the
    // product's key to the next installation.
    if (int slot = KnownPluginSlot(); slot != -1) {
      t.SetNumber(kRegLocalMachine, ProductKey(), "MPIndex", static_cast<uint32_t>(slot));
      t.Apply();
    }
    RegisterPlugin(t);
  }
  if (const char* ide = GetVariable("SANDRIFTShortCut")) FindIde(ide);
}

void WriteRegistryEntries(Transaction& t) {
  if (!RegistryEntries()) return;
  for (uint32_t i = 0; i < vec_count(RegistryEntries()); i++) {
    RegistryEntry* e = vec_at<RegistryEntry>(RegistryEntries(), i);
    if (e->is_string) {
      t.SetString(e->root, e->key, e->value_name, e->text);
    } else {
      t.SetNumber(e->root, e->key, e->value_name, e->dword);
    }
  }
  t.Apply();
}

void ForgetOtherVersionsIn(Transaction& t, const std::string& folder) {
  const std::string family = FamilyKey();
  std::vector<std::string> emptied;
  for (const std::string& version : reg_subkeys(kRegLocalMachine, family.c_str())) {
    for (const std::string& level : reg_subkeys(kRegLocalMachine, (family + "\\" + version).c_str())) {
      const std::string key = family + "\\" + version + "\\" + level;
      std::string registered;
      if (_stricmp(key.c_str(), ProductKey()) == 0 ||
          reg_read(kRegLocalMachine, key.c_str(), "InstDir", registered) != 0 || !SamePath(registered, folder)) {
        continue;
      }
      emptied.push_back(UninstallEntry(version + level));
      emptied.push_back(key);
      emptied.push_back(family + "\\" + version);
    }
  }
  for (const std::string& key : emptied) DeleteValuesOf(t, key);
  t.Apply();
  // The keys the values left empty go (an undo makes them again with the
  // values it puts back).
  for (const std::string& key : emptied) {
    if (reg_key_empty(kRegLocalMachine, key.c_str())) reg_delete_tree(kRegLocalMachine, key.c_str());
  }
}

bool UnregisterProduct(Transaction& t) {
  bool all = reg_key_exists(kRegLocalMachine, ProductKey()) && reg_key_exists(kRegLocalMachine, UninstallKey());
  t.DeleteKey(kRegLocalMachine, ProductKey());
  // The version's key stays while another patch level of it is installed.
  long error = 0;
  std::vector<std::string> levels = reg_subkeys(kRegLocalMachine, ProductVersionKey(), &error);
  if (error != 0) all = false;
  if (levels.size() <= 1 && (levels.empty() || _stricmp(levels[0].c_str(), VariableOr("PatchLevel")) == 0)) {
    t.DeleteKey(kRegLocalMachine, ProductVersionKey());
  }
  t.DeleteKey(kRegLocalMachine, UninstallKey());
  // The App Paths entry goes too, while it names this installation's program
  // (another installation may have written it since).
  const char* appname = GetVariable("Appname");
  if (appname && *appname) {
    const std::string key = AppPathsKey(appname);
    std::string program;
    if (reg_read(kRegLocalMachine, key.c_str(), "", program) == 0 &&
        SamePath(program, ExpandedText("[InstDir]\\bin\\[Appname]"))) {
      t.DeleteKey(kRegLocalMachine, key);
    }
  }
  return all;
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
    if (newest && CompareVersions(newest->c_str(), version) > 0) {
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
