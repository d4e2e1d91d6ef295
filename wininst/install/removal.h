// The installed manifest, the removal of an installation, and the script
// that deletes the running setup.exe once the program has ended.
#pragma once

// Writes the installed manifest after a fresh installation (nothing otherwise),
// and keeps its digest under the product's key.
void WriteInstalledManifest();
// In a run without an archive: ends the run unless the installed manifest it
// read is the one the installation wrote.
void CheckInstalledManifest();
// Deletes every recorded file and folder and writes the removal script; it
// becomes the run's removal script. Returns its path.
const char* RemoveInstallation();
// Starts the run's removal script, if the run has one, hidden.
void StartRemovalScript();
