// The product's registration after an installation or a repair: its keys and
// uninstall entry, the manifest's registry entries, the host IDEs' integration
// and the maker's IDE.
#pragma once

// The whole registration, in order.
void RegisterProduct();
// Writes the manifest's [Registry] entries; failed writes are ignored.
void WriteRegistryEntries();
// The maker's IDE found during the registration (a path), or null.
const char* IdeExecutablePath();
// False when a newer version of the product is installed and the user does
// not go on (a headless run is not asked: false).
bool CheckNewerVersion();
