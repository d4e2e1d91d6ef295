// The product's keys under HKEY_LOCAL_MACHINE: their names, the installation
// folder and the App Paths entry, the uninstall entry, their removal, and the
// check against newer versions.
#pragma once

#include <cstdint>
#include <string>

// Key names, fixed at their first use.
const char* ProductVersionKey();
const char* ProductKey();
const char* UninstallKey();
// `base` followed by the maker's, the product's and, when it is set, the
// edition's level ("\[Manufacturer]\[Product][\[Edition]]"), expanded.
std::string ProductPath(const char* base);
// The product family's key: "SOFTWARE\[Manufacturer]\[Product][\[Edition]]".
std::string FamilyKey();

// Where the uninstall entries of the machine are, and this product's entry
// for a version and patch level `version_level` ("1.0PL0").
constexpr const char* kUninstallRoot = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
std::string UninstallEntry(const std::string& version_level);
// The App Paths entry of a program name.
std::string AppPathsKey(const char* appname);
// Whether the product is registered (its key records an installation folder).
bool ProductRegistered();
// When this product (its version and patch level) is registered as installed
// in another folder than `folder`, and that installation is still there:
// its registered remover (the installed setup.exe), and in `other` its
// folder. Empty otherwise.
std::string RemoverOfInstallationElsewhere(const char* folder, std::string* other = nullptr);
// True when an uninstall entry of this computer names `setup` (an installed
// copy's path) as its remover: only such a program is run to remove a
// previous installation.
bool IsRegisteredRemover(const std::string& setup);
// The size in KB its uninstall entry records for the installation whose
// remover is `setup`; 0 when none is recorded.
uint32_t RegisteredSizeKB(const std::string& setup);
// The greatest sub-key name of `family_key` (a new text), or null.
char* BestInstalledVersion(const char* family_key);
