#include "wininst/core/product.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "common/alloc.h"
#include "common/compat.h"
#include "common/osdep.h"
#include "common/registry.h"
#include "common/vector.h"
#include "common/messages.h"
#include "wininst/core/paths.h"
#include "wininst/core/variables.h"

std::string AppPathsKey(const char* appname) {
  return std::string("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\") + appname;
}

namespace {

bool KeyHolds(const char* key, const char* value) {
  std::string data;
  return reg_read(kRegLocalMachine, key, value, data) == 0;
}

}  // namespace

std::string FamilyKey() {
  return ProductPath("SOFTWARE");
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

std::string UninstallEntry(const std::string& version_level) {
  return std::string(kUninstallRoot) + "\\" + ExpandedText("[Product] ") + version_level;
}

const char* UninstallKey() {
  static const std::string key = [] {
    // The entry's name carries the patch level, which ProductKey settles.
    ProductKey();
    return UninstallEntry(ExpandedText("[Version][PatchLevel]"));
  }();
  return key.c_str();
}

bool ProductRegistered() {
  return KeyHolds(ProductKey(), "InstDir");
}

std::string RemoverOfInstallationElsewhere(const char* folder, std::string* other) {
  std::string registered, command;
  if (reg_read(kRegLocalMachine, ProductKey(), "InstDir", registered) != 0) return {};
  if (SamePath(registered, folder)) return {};
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

// The uninstall entry that names `setup` (an installed copy's path) as its
// remover: "\"<setup.exe>\" --remove", the path in whatever form it was
// registered. Empty when there is none.
std::string EntryOfRemover(const std::string& setup) {
  for (const std::string& entry : reg_subkeys(kRegLocalMachine, kUninstallRoot, nullptr, 255)) {
    const std::string key = std::string(kUninstallRoot) + "\\" + entry;
    std::string command;
    if (reg_read(kRegLocalMachine, key.c_str(), "UninstallString", command) != 0 || command.size() < 2 ||
        command[0] != '"') {
      continue;
    }
    const size_t quote = command.find('"', 1);
    if (quote != std::string::npos && _stricmp(command.c_str() + quote, "\" --remove") == 0 &&
        SamePath(command.substr(1, quote - 1), setup)) {
      return key;
    }
  }
  return {};
}

}  // namespace

bool IsRegisteredRemover(const std::string& setup) {
  return !EntryOfRemover(setup).empty();
}

uint32_t RegisteredSizeKB(const std::string& setup) {
  uint32_t size = 0;
  const std::string key = EntryOfRemover(setup);
  if (!key.empty()) reg_read(kRegLocalMachine, key.c_str(), "EstimatedSize", size);
  return size;
}

char* BestInstalledVersion(const char* family_key) {
  // Versions by their numbers: 10.00 is above 9.70, 9.70a above 9.70.
  std::string best;
  for (const std::string& name : reg_subkeys(kRegLocalMachine, family_key)) {
    if (best.empty() || CompareVersions(name.c_str(), best.c_str()) > 0) best = name;
  }
  Trace("Best version of %s was %s", family_key, best.c_str());
  return best.empty() ? nullptr : xstrdup(best.c_str());
}
