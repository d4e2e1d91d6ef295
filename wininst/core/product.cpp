#include "wininst/core/product.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "common/alloc.h"
#include "common/compat.h"
#include "common/registry.h"
#include "common/vector.h"
#include "wininst/core/ide.h"
#include "wininst/core/messages.h"
#include "wininst/core/variables.h"

namespace {

constexpr const char* kPublisher = "MERIDOX Software";

// Whether the product was registered already when this run first wrote its
// installation location.
bool product_existed = true;

std::string AppPathsKey(const char* appname) {
  return std::string("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\") + appname;
}

bool KeyHolds(const char* key, const char* value) {
  RegData data = reg_get_string(kRegLocalMachine, key, value);
  free(data.data);
  return data.error == 0;
}

std::string FamilyKey() {
  return ProductPath("SOFTWARE");
}

uint32_t DecimalValue(const char* text) {
  return static_cast<uint32_t>(strtoul(text, nullptr, 10));
}

// The App Paths entry lets the shell start the product's program by name.
void WriteAppPaths(const char* appname) {
  const std::string key = AppPathsKey(appname);
  reg_set_string(kRegLocalMachine, key.c_str(), "Path", ExpandedText("[InstDir]\\bin").c_str());
  reg_set_string(kRegLocalMachine, key.c_str(), "", ExpandedText("[InstDir]\\bin\\[Appname]").c_str());
}

void WriteUninstallString(const char* name, const char* text) {
  reg_set_string(kRegLocalMachine, UninstallKey(), name, text);
}

void WriteUninstallOptional(const char* name, const char* variable) {
  if (const char* v = GetVariable(variable)) WriteUninstallString(name, v);
}

}  // namespace

// Failures are ignored: the product works without its uninstall entry.
void WriteUninstallEntry() {
  const char* key = UninstallKey();
  const char* version = VariableOr("Version", "");

  WriteUninstallOptional("DisplayIcon", "ICON");
  WriteUninstallString("DisplayName", ExpandedText("[Description] V[Version][PatchLevel]").c_str());
  WriteUninstallString("DisplayVersion", version);
  WriteUninstallOptional("HelpLink", "SupportURL");
  reg_set_dword(kRegLocalMachine, key, "NoRepair", 1);
  WriteUninstallString("Publisher", kPublisher);
  char* text = xsprintf("\"%s\" --remove", VariableOr("SETUP", ""));
  WriteUninstallString("UninstallString", text);
  free(text);
  text = xsprintf("\"%s\"", VariableOr("InstDir", ""));
  WriteUninstallString("InstallLocation", text);
  free(text);
  WriteUninstallOptional("HelpTelephone", "PhoneNo");
  WriteUninstallOptional("URLUpdateInfo", "UpdateURL");
  WriteUninstallOptional("Readme", "README");

  char today[16];
  time_t now = time(nullptr);
  strftime(today, sizeof today, "%Y%m%d", localtime(&now));
  WriteUninstallString("InstallDate", today);

  reg_set_dword(kRegLocalMachine, key, "VersionMajor", DecimalValue(version));
  if (const char* dot = strrchr(version, '.')) {
    reg_set_dword(kRegLocalMachine, key, "VersionMinor", DecimalValue(dot + 1));
  }
}

std::string ProductPath(const char* base) {
  return ExpandedText(
      (std::string(base) + (GetVariable("Edition") ? "\\[Manufacturer]\\[Product]\\[Edition]"
                                                   : "\\[Manufacturer]\\[Product]"))
          .c_str());
}

const char* ProductVersionKey() {
  static const std::string key = FamilyKey() + "\\" + ExpandedText("[Version]");
  return key.c_str();
}

const char* ProductKey() {
  static const std::string key = [] {
    const char* level = GetVariable("PatchLevel");
    if (!level || !*level) level = SetVariable("PatchLevel", "PL0");
    return std::string(ProductVersionKey()) + "\\" + level;
  }();
  return key.c_str();
}

const char* UninstallKey() {
  static const std::string key = [] {
    // The entry's name carries the patch level, which ProductKey settles.
    ProductKey();
    return ExpandedText(
        "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\[Product] [Version][PatchLevel]");
  }();
  return key.c_str();
}

void WriteInstallLocation() {
  // Written when the installation starts and asked for again by the
  // registration that ends it: once is enough.
  static bool written;
  if (written) return;
  written = true;
  product_existed = KeyHolds(ProductKey(), "InstDir");
  if (long e =
          reg_set_string(kRegLocalMachine, ProductKey(), "InstDir", VariableOr("InstDir", ""))) {
    Fatal("Registry write failure %d", static_cast<int>(e));
  }
  if (const char* build = GetVariable("BuildNo")) {
    if (long e = reg_set_dword(kRegLocalMachine, ProductKey(), "BuildNo", DecimalValue(build))) {
      Fatal("Registry write failure %d", static_cast<int>(e));
    }
  }
  // An empty name would put the entry's values on the App Paths key itself.
  const char* appname = GetVariable("Appname");
  if (appname && *appname) WriteAppPaths(appname);
}

void UndoRegistration() {
  if (!product_existed) UnregisterProduct();
}

bool UnregisterProduct() {
  bool ok = reg_delete_tree(kRegLocalMachine, ProductKey()) == 0;

  // The version's key stays while another patch level of it is installed.
  RegSubkeyList levels = reg_list_subkeys(kRegLocalMachine, ProductVersionKey());
  const bool other_levels = levels.count > 0;
  reg_free_subkeys(levels);
  if (levels.error != 0) {
    ok = false;
  } else if (!other_levels) {
    ok = reg_delete_tree(kRegLocalMachine, ProductVersionKey()) == 0 && ok;
  }

  ok = reg_delete_tree(kRegLocalMachine, UninstallKey()) == 0 && ok;

  // The App Paths entry goes too, while it names this installation's program
  // (another installation may have written it since).
  const char* appname = GetVariable("Appname");
  if (appname && *appname) {
    const std::string key = AppPathsKey(appname);
    RegData program = reg_get_string(kRegLocalMachine, key.c_str(), "");
    if (program.error == 0 &&
        _stricmp(program.data, ExpandedText("[InstDir]\\bin\\[Appname]").c_str()) == 0) {
      reg_delete_tree(kRegLocalMachine, key.c_str());
    }
    free(program.data);
  }
  return ok;
}

bool IsRegisteredRemover(const std::string& setup) {
  constexpr const char* kUninstall = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
  const std::string wanted = "\"" + setup + "\" --remove";
  RegSubkeyList entries = reg_list_subkeys(kRegLocalMachine, kUninstall, 255);
  bool found = false;
  for (uint32_t i = 0; i < entries.count && !found; i++) {
    const std::string key = std::string(kUninstall) + "\\" + vec_at<char>(entries.names, i);
    RegData command = reg_get_string(kRegLocalMachine, key.c_str(), "UninstallString");
    found = command.error == 0 && _stricmp(command.data, wanted.c_str()) == 0;
    free(command.data);
  }
  reg_free_subkeys(entries);
  return found;
}

bool CheckNewerVersion() {
  bool answer = true;
  const char* version = ShortVersion();
  std::string family = FamilyKey();

  RegSubkeyList installed = reg_list_subkeys(kRegLocalMachine, family.c_str());
  // Only the opening reports "not found"; a listing cut short by a long name
  // still tells that the key is there.
  bool opened = installed.error == 0 || installed.error == ERROR_MORE_DATA || installed.count > 0;
  reg_free_subkeys(installed);

  if (opened) {
    // The plug-in product is measured against the plug-in that is registered
    // now, wherever it was installed from.
    std::optional<std::string> newest;
    if (IsPluginProduct()) {
      newest = PluginInstalledVersion();
    } else if (char* best = BestInstalledVersion(family.c_str())) {
      newest = best;
      free(best);
    }
    if (newest && strcmp(newest->c_str(), version) > 0) {
      answer = false;
      if (!IsTrue("HeadlessInstall")) {
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

char* BestInstalledVersion(const char* family_key) {
  RegSubkeyList list = reg_list_subkeys(kRegLocalMachine, family_key);
  // Text order, not numeric: 10.00 sorts below 9.70, 9.70 below 9.70a.
  std::string best;
  for (uint32_t i = 0; i < list.count; i++) {
    const char* name = vec_at<char>(list.names, i);
    if (strcmp(name, best.c_str()) > 0) best = name;
  }
  reg_free_subkeys(list);
  Trace("Best version of %s was %s", family_key, best.c_str());
  return best.empty() ? nullptr : xstrdup(best.c_str());
}
