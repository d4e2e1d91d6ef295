// The feature installation engine: evaluation against the registry, the
// components page's queries, the space estimate and the installation proper.
#pragma once

#include <cstdint>

struct Feature;
struct Installer;

void EvaluateFeatures();
bool EvaluateFeature(Feature* f);
// The source to use for an external installer, or null when none is found.
const char* ResolveInstallerSource(const Installer* installer);
void SelectFeaturesFromComponents();
bool CheckPrerequisites(Feature* f);
uint32_t RequiredSpaceKB();
uint32_t FreeSpaceMB(const char* root);
void InstallFeatures();
// True when it created the folder, false when it existed.
bool CreateFolderTree(const char* path);

extern uint32_t ClusterSize;

// Queries of the components page, by list index.
const char* ComponentDescription(uint32_t index);
bool ComponentHasContent(uint32_t index);
bool ComponentInstalled(uint32_t index);
bool ComponentNeedsDownload(uint32_t index);
int ComponentState(uint32_t index);
bool ComponentAvailable(uint32_t index);
void SetComponentSelected(uint32_t index, bool checked);
