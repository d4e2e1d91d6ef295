// The feature installation engine: the installation proper, feature by
// feature, from the archive stream into the installation folder.
#pragma once

struct Feature;
class Transaction;

// True when the feature may be installed: every prerequisite is present, or
// the user goes on without it (false); No ends the run.
bool CheckPrerequisites(Feature* f);
// What must hold before an installation changes anything: the folder's
// paths fit, and this version is not registered in another folder. Fatal
// otherwise.
void CheckInstallation();
// Installs the selected features and copies the resources, every change
// through the run's transaction.
void InstallFeatures(Transaction& transaction);
