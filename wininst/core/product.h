// The product's registration: its keys under HKEY_LOCAL_MACHINE, the App
// Paths entry, the uninstall entry, and the check against newer versions.
#pragma once

// Key names, fixed at their first use.
const char* ProductVersionKey();
const char* ProductKey();
const char* UninstallKey();

// InstDir and BuildNo under ProductKey, then the App Paths entry.
void WriteInstallLocation();
// The whole registration after an installation or a repair.
void RegisterProduct();
// Deletes the product's keys; true when every deletion succeeded.
bool UnregisterProduct();
// False when a newer version is installed and the user does not go on.
bool CheckNewerVersion();
// The greatest sub-key name of `family_key` (a new text), or null.
char* BestInstalledVersion(const char* family_key);
// The maker's IDE found during registration (a path), or null.
const char* IdeExecutablePath();
