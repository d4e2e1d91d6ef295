#include "wininst/run.h"

int RunInstaller() { return 0; }
