// The feature installation engine: the installation proper, feature by
// feature, from the archive stream into the installation folder.
#pragma once

struct Feature;

// True when the feature may be installed: every prerequisite is present, or
// the user goes on without it (false); No ends the run.
bool CheckPrerequisites(Feature* f);
// Installs the selected features and copies the resources, keeping the
// run's journal (journal.h) from its first step.
void InstallFeatures();
