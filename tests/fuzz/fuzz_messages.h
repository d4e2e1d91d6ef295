// Message functions for the fuzz targets: a fatal error throws FuzzFatal.
#pragma once

struct FuzzFatal {};
