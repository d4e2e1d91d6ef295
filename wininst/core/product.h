// The product's keys under HKEY_LOCAL_MACHINE: their names, the installation
// folder and the App Paths entry, the uninstall entry, their removal, and the
// check against newer versions.
#pragma once

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

// InstDir and BuildNo under ProductKey, then the App Paths entry; once a run.
void WriteInstallLocation();
// The uninstall entry's values; failures are ignored.
void WriteUninstallEntry();
// Deletes the product's keys; true when every deletion succeeded.
bool UnregisterProduct();
// Another version or patch level of this product registered in `folder`,
// which this installation has just overwritten, is registered no more: its
// product key and uninstall entry go value by value (an undo of the run puts
// them back), and the installation there is this one's to remove.
void ForgetOtherVersionsIn(const char* folder);
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
// The greatest sub-key name of `family_key` (a new text), or null.
char* BestInstalledVersion(const char* family_key);
