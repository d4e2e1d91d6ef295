// Device drivers of a feature: its INF file into the system's driver store,
// and the devices present with its hardware ID moved to that driver.
#pragma once

struct Feature;

// Installs the driver that the feature's INF file (in the drivers folder of
// the installation) describes. A failure is shown in a box and the
// installation goes on; so does a restart the update asks for.
void InstallDriver(const Feature* f);
