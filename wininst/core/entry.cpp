#include "wininst/core/entry.h"

#include <cstdlib>
#include <cstring>

#include "common/alloc.h"
#include "common/compat.h"
#include "common/getargs.h"
#include "common/vector.h"
#include "wininst/core/runmode.h"
#include "wininst/core/variables.h"

namespace {

Vec* excluded;

const char* Prefix(const char* arg, const char* prefix) {
  size_t n = strlen(prefix);
  return _strnicmp(arg, prefix, n) == 0 ? arg + n : nullptr;
}

void ApplyOption(const char* arg) {
  const char* rest;
  if (_stricmp(arg, "--I agree to the terms of the licence") == 0) {
    SetVariable("LicenceAgreed", "yes");
  } else if ((rest = Prefix(arg, "--dir="))) {
    SetVariable("InstDir", rest);
  } else if (_stricmp(arg, "--subinstall") == 0) {
    SetVariable("SubInstall", "yes");
  } else if (_stricmp(arg, "--remove") == 0) {
    SetVariable("Remove", "yes");
  } else if (_stricmp(arg, "--remove-silently") == 0) {
    SetVariable("Remove", "yes");
    SetVariable("HeadlessInstall", "yes");
  } else if (_stricmp(arg, "--no-sandrift") == 0) {
    vec_add(ExcludedComponents(), xstrdup("SANDRIFT"));
  } else if ((rest = Prefix(arg, "--no-"))) {
    vec_add(ExcludedComponents(), xstrdup(rest));
  } else if ((rest = Prefix(arg, "--setTrue-"))) {
    if (*rest) SetVariable(rest, "yes");
  } else if ((rest = Prefix(arg, "--setVariable-"))) {
    // The name must not be empty: the "=" stands at or after the 16th character.
    const char* eq = strchr(rest, '=');
    if (eq && eq > rest) {
      char* name = xstrdup(rest);
      name[eq - rest] = '\0';
      SetVariable(name, eq + 1);
      free(name);
    }
  }
  // Anything else is ignored without a message.
}

}  // namespace

Vec* ExcludedComponents() {
  if (!excluded) excluded = vec_new();
  return excluded;
}

void ApplyOptions(char** argv) {
  for (char** a = argv; *a; a++) ApplyOption(*a);
}

void DecideRunMode() {
  RunMode mode = RunModeFromVariables();
  if (GetVariable("InstDir") && IsTrue("LicenceAgreed")) {
    mode.headless = true;
    if (!mode.remove) mode.install = true;
  }
  SetRunMode(mode);
}

void ReadCommandLine(char* command_line) {
  ApplyOptions(arg_split(command_line));
  DecideRunMode();
}
