// What the install engine knows of the features before it installs them:
// their evaluation against the registry, the sources of their external
// installers, the components page's queries and the space estimate.
#pragma once

#include <cstdint>

struct Feature;
struct Installer;

// Evaluates every feature, then every component's availability and the
// alternates of required components that cannot be installed.
void EvaluateFeatures();
// Sets the feature's present, outdated and available flags; returns present.
bool EvaluateFeature(Feature* f);
// The source to use for an external installer, or null when none is found.
const char* ResolveInstallerSource(const Installer* installer);
// True for a source that must be downloaded ("http://" or "ftp://", any case).
bool IsDownload(const char* source);
// Selects the features of the selected components, and no others.
void SelectFeaturesFromComponents();
// Kilobytes that the selection needs, each file rounded up to whole clusters.
uint32_t RequiredSpaceKB();
// The installation's measure for the bar: every file it writes (the selected
// features' files and the resources), its size plus 8192 bytes for making it.
uint64_t InstallationBytes();
// The length of the longest path the selection installs, counted from the
// installation folder on (its backslash included): the selected features'
// files and the resources folder's files.
size_t LongestInstalledPath();
// Fatal (or with `refuse` a box and false) when `folder` would make an
// installed path longer than Windows allows.
bool FolderFitsPaths(const char* folder, bool refuse);
// Whole megabytes available to the caller on a volume (0 when that cannot be
// told); sets ClusterSize.
uint32_t FreeSpaceMB(const char* root);

// The allocation unit of the target volume in bytes; 0 until FreeSpaceMB
// has measured it (4096 when it cannot be read).
uint32_t ClusterSize();

// Queries of the components page, by list index; past the end: none, false, 0.
const char* ComponentDescription(uint32_t index);
bool ComponentHasContent(uint32_t index);
bool ComponentInstalled(uint32_t index);
bool ComponentNeedsDownload(uint32_t index);
// 2 when required, else 1 when selected, else 0.
int ComponentState(uint32_t index);
bool ComponentAvailable(uint32_t index);
// Stores required-or-checked as the component's selected flag.
void SetComponentSelected(uint32_t index, bool checked);
