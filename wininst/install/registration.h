// The product's registration after an installation or a repair: its keys and
// uninstall entry, the manifest's registry entries, the host IDEs' integration
// and the maker's IDE; and its removal. Every value goes through the run's
// transaction, which keeps what it was before.
#pragma once

#include <string>

class Transaction;

// The whole registration, in order.
void RegisterProduct(Transaction& transaction);
// InstDir and BuildNo under ProductKey, then the App Paths entry.
void WriteInstallLocation(Transaction& transaction);
// Writes the manifest's [Registry] entries; failed writes are ignored.
void WriteRegistryEntries(Transaction& transaction);
// Another version or patch level of this product registered in `folder`,
// which this installation has just overwritten, is registered no more: its
// product key and uninstall entry go value by value (an undo of the run puts
// them back), and the installation there is this one's to remove.
void ForgetOtherVersionsIn(Transaction& transaction, const std::string& folder);
// Deletes the product's keys (a removal), once the transaction applies its
// changes (its commit). True when every key it deletes is there to delete.
bool UnregisterProduct(Transaction& transaction);
// The maker's IDE found during the registration (a path), or null.
const char* IdeExecutablePath();
// False when a newer version of the product is installed and the user does
// not go on (a headless run is not asked: false).
bool CheckNewerVersion();
