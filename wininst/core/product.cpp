#include "wininst/core/product.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "common/alloc.h"
#include "common/compat.h"
#include "common/osdep.h"
#include "common/registry.h"
#include "common/vector.h"
#include "common/messages.h"
#include "wininst/core/variables.h"

namespace {

constexpr const char* kPublisher = "MERIDOX Software";

std::string AppPathsKey(const char* appname) {
  return std::string("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\") + appname;
}

bool KeyHolds(const char* key, const char* value) {
  std::string data;
  return reg_read(kRegLocalMachine, key, value, data) == 0;
}

}  // namespace

std::string FamilyKey() {
  return ProductPath("SOFTWARE");
}

namespace {

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
  text = xsprintf("\"%s\" --remove-silently --unattended", VariableOr("SETUP", ""));
  WriteUninstallString("QuietUninstallString", text);
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

namespace {

constexpr const char* kUninstallRoot = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

// The uninstall entry of this product's version and patch level
// `version_level` ("1.0PL0").
std::string UninstallEntry(const std::string& version_level) {
  return std::string(kUninstallRoot) + "\\" + ExpandedText("[Product] ") + version_level;
}

}  // namespace

const char* UninstallKey() {
  static const std::string key = [] {
    // The entry's name carries the patch level, which ProductKey settles.
    ProductKey();
    return UninstallEntry(ExpandedText("[Version][PatchLevel]"));
  }();
  return key.c_str();
}

void WriteInstallLocation() {
  // Written when the installation starts and asked for again by the
  // registration that ends it: once is enough.
  static bool written;
  if (written) return;
  written = true;
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

bool ProductRegistered() {
  return KeyHolds(ProductKey(), "InstDir");
}

namespace {

bool SameFolder(std::string a, std::string b) {
  for (std::string* path : {&a, &b}) {
    while (path->size() > 3 && path->back() == '\\') path->pop_back();
  }
  return _stricmp(a.c_str(), b.c_str()) == 0;
}

}  // namespace

std::string RemoverOfInstallationElsewhere(const char* folder, std::string* other) {
  std::string registered, command;
  if (reg_read(kRegLocalMachine, ProductKey(), "InstDir", registered) != 0) return {};
  if (SameFolder(registered, folder)) return {};
  // The uninstall entry names the remover: "\"<setup.exe>\" --remove".
  if (reg_read(kRegLocalMachine, UninstallKey(), "UninstallString", command) != 0 ||
      command.size() < 2 || command[0] != '"') {
    return {};
  }
  const std::string setup = command.substr(1, command.find('"', 1) - 1);
  if (!file_exists(setup.c_str())) return {};
  if (other) *other = registered;
  return setup;
}

namespace {

// Deletes every value of `key`, then the key (and its parents up to
// `stop`) once empty.
void DeleteValuesOf(const std::string& key, const std::string& stop) {
  for (const std::string& name : reg_value_names(kRegLocalMachine, key.c_str())) {
    reg_delete_value(kRegLocalMachine, key.c_str(), name.c_str());
  }
  for (std::string k = key; k.size() > stop.size() && reg_key_empty(kRegLocalMachine, k.c_str());
       k = k.substr(0, k.rfind('\\'))) {
    reg_delete_tree(kRegLocalMachine, k.c_str());
  }
}

}  // namespace

void ForgetOtherVersionsIn(const char* folder) {
  const std::string family = FamilyKey();
  for (const std::string& version : reg_subkeys(kRegLocalMachine, family.c_str())) {
    for (const std::string& level : reg_subkeys(kRegLocalMachine, (family + "\\" + version).c_str())) {
      const std::string key = family + "\\" + version + "\\" + level;
      std::string registered;
      if (_stricmp(key.c_str(), ProductKey()) == 0 ||
          reg_read(kRegLocalMachine, key.c_str(), "InstDir", registered) != 0 || !SameFolder(registered, folder)) {
        continue;
      }
      DeleteValuesOf(UninstallEntry(version + level), kUninstallRoot);
      DeleteValuesOf(key, family);
    }
  }
}

bool UnregisterProduct() {
  bool ok = reg_delete_tree(kRegLocalMachine, ProductKey()) == 0;

  // The version's key stays while another patch level of it is installed.
  long error = 0;
  const bool other_levels = !reg_subkeys(kRegLocalMachine, ProductVersionKey(), &error).empty();
  if (error != 0) {
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
    std::string program;
    if (reg_read(kRegLocalMachine, key.c_str(), "", program) == 0 &&
        _stricmp(program.c_str(), ExpandedText("[InstDir]\\bin\\[Appname]").c_str()) == 0) {
      reg_delete_tree(kRegLocalMachine, key.c_str());
    }
  }
  return ok;
}

bool IsRegisteredRemover(const std::string& setup) {
  const std::string wanted = "\"" + setup + "\" --remove";
  for (const std::string& entry : reg_subkeys(kRegLocalMachine, kUninstallRoot, nullptr, 255)) {
    std::string command;
    if (reg_read(kRegLocalMachine, (std::string(kUninstallRoot) + "\\" + entry).c_str(),
                 "UninstallString", command) == 0 &&
        _stricmp(command.c_str(), wanted.c_str()) == 0) {
      return true;
    }
  }
  return false;
}

char* BestInstalledVersion(const char* family_key) {
  // Text order, not numeric: 10.00 sorts below 9.70, 9.70 below 9.70a.
  std::string best;
  for (const std::string& name : reg_subkeys(kRegLocalMachine, family_key)) {
    if (strcmp(name.c_str(), best.c_str()) > 0) best = name;
  }
  Trace("Best version of %s was %s", family_key, best.c_str());
  return best.empty() ? nullptr : xstrdup(best.c_str());
}
