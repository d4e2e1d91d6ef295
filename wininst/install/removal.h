// The removal of an installation (the running setup.exe and the folders
// that hold it go with the clean-up script, cleanup_script.h).
#pragma once

#include <cstddef>

class Transaction;

// Deletes every recorded file and folder (nothing through a link, no
// shortcut that leads elsewhere now; a file another program holds is tried
// again for a few seconds, then set to go at the restart, and the user is
// told), the product's registration with them, all named in the run's
// transaction before the first goes; notes what the removal script must do
// once the run has ended. False when files are left (the user was told, and
// the installation stays registered and removable).
bool RemoveInstallation(Transaction& transaction);
// How many files the removal set to go when the computer restarts (other
// programs held them): the removal is not complete before then.
size_t FilesLeftForRestart();
