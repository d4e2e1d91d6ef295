// The feature installation engine: the installation proper, feature by
// feature, from the archive stream into the installation folder.
#pragma once

struct Feature;

// True when the feature may be installed: every prerequisite is present, or
// the user goes on without it (false); No ends the run.
bool CheckPrerequisites(Feature* f);
// Installs the selected features and copies the resources.
void InstallFeatures();
// Takes back what an installation that ends half-way made: the files it
// created (not those it overwrote), its folders, its registry keys.
void UndoInstallation();
