// The removal of an installation, and the script that deletes the running
// setup.exe once the program has ended.
#pragma once

class Transaction;

// Deletes every recorded file and folder (nothing through a link, no
// shortcut that leads elsewhere now; a file another program holds is tried
// again for a few seconds, then set to go at the restart, and the user is
// told), the product's registration with them, all named in the run's
// transaction before the first goes; notes what the removal script must do
// once the run has ended. False when files are left (the user was told, and
// the installation stays registered and removable).
bool RemoveInstallation(Transaction& transaction);
// After a removal: writes the removal script, which deletes the running
// setup.exe and the folders that stayed busy once the program has ended,
// into a new private folder, and starts it hidden; it deletes itself and
// its folder at its end. Nothing happens without a removal.
void StartRemovalScript();
