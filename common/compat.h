// Names of the Windows C runtime that the shared modules use, mapped onto
// POSIX for the host build (the builder and the host unit tests).
#pragma once

#ifndef _WIN32
#include <strings.h>
#include <string.h>
#define _stricmp strcasecmp
#define _strnicmp strncasecmp
#define _strdup strdup
#endif
