// The compiler tools inside other vendors' development environments: the
// Holtek IDE's configuration file, the CFASM tool paths under the product's
// key, and the host IDE's plug-in DLL with its registered version and slot.
// A removal leaves all of it in place.
#pragma once

#include <optional>
#include <string>

class Transaction;

// Writes the compiler's path into every registered Holtek IDE installation's
// ht-ide3000.ini and sets HoltekIDEPath to the last one's program.
void ConfigureHoltekIDE();
// The CFASM tool paths under ProductKey; a failed write is fatal.
void SetupCFASM(Transaction& transaction);
// True when this product is the plug-in itself ("TESSERA Plugin").
bool IsPluginProduct();
// The registered plug-in's DLL path when that file exists.
std::optional<std::string> PluginInstalledPath();
// The registered plug-in's version when its DLL still exists.
std::optional<std::string> PluginInstalledVersion();
// Resolves the plug-in's slot once (-1 when unknown): this product's own
// MPIndex, or the one a previous patch level in the same folder hands over.
int PluginSlot();
// The slot as far as the run knows it, without looking for it.
int KnownPluginSlot();
// Lets the installed plug-in DLL register itself and records it as the
// current plug-in, unless a newer one is registered elsewhere.
void RegisterPlugin(Transaction& transaction);
