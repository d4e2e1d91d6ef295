#include "wininst/core/product.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "common/alloc.h"
#include "common/registry.h"
#include "common/vector.h"
#include "wininst/core/ide.h"
#include "wininst/core/messages.h"
#include "wininst/core/variables.h"

namespace {

constexpr const char* kPublisher = "MERIDOX Software";

std::string Expanded(const char* text) {
  char* e = ExpandVariables(text);
  std::string s = e;
  free(e);
  return s;
}

const char* ValueOr(const char* name, const char* fallback) {
  const char* v = GetVariable(name);
  return v ? v : fallback;
}

std::string FamilyKey() {
  return ProductPath("SOFTWARE");
}

uint32_t DecimalValue(const char* text) {
  return static_cast<uint32_t>(strtoul(text, nullptr, 10));
}

// The App Paths entry lets the shell start the product's program by name.
void WriteAppPaths(const char* appname) {
  std::string key =
      std::string("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\") + appname;
  reg_set_string(kRegLocalMachine, key.c_str(), "Path", Expanded("[InstDir]\\bin").c_str());
  reg_set_string(kRegLocalMachine, key.c_str(), "", Expanded("[InstDir]\\bin\\[Appname]").c_str());
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
  const char* version = ValueOr("Version", "");

  WriteUninstallOptional("DisplayIcon", "ICON");
  WriteUninstallString("DisplayName", Expanded("[Description] V[Version][PatchLevel]").c_str());
  WriteUninstallString("DisplayVersion", version);
  WriteUninstallOptional("HelpLink", "SupportURL");
  reg_set_dword(kRegLocalMachine, key, "NoRepair", 1);
  WriteUninstallString("Publisher", kPublisher);
  char* text = xsprintf("\"%s\" --remove", ValueOr("SETUP", ""));
  WriteUninstallString("UninstallString", text);
  free(text);
  text = xsprintf("\"%s\"", ValueOr("InstDir", ""));
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
  return Expanded(
      (std::string(base) + (GetVariable("Edition") ? "\\[Manufacturer]\\[Product]\\[Edition]"
                                                   : "\\[Manufacturer]\\[Product]"))
          .c_str());
}

const char* ProductVersionKey() {
  static const std::string key = FamilyKey() + "\\" + Expanded("[Version]");
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
    return Expanded(
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
  if (long e = reg_set_string(kRegLocalMachine, ProductKey(), "InstDir", ValueOr("InstDir", ""))) {
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
  return ok;
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
                          newest->c_str(), ValueOr("Product", ""), version);
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
