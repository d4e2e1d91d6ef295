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
Vec* selected;
bool help_asked;
Vec* not_understood;
int command_line_error;

// Takes `name` out of `list` (compared without regard to case): a later
// option undoes an earlier one.
void Withdraw(Vec* list, const char* name) {
  Vec* kept = vec_new();
  for (uint32_t i = 0; i < vec_count(list); i++) {
    char* item = vec_at<char>(list, i);
    if (_stricmp(item, name) == 0) {
      free(item);
    } else {
      vec_add(kept, item);
    }
  }
  vec_clear(list);
  for (uint32_t i = 0; i < vec_count(kept); i++) vec_add(list, vec_get(kept, i));
  vec_free(kept);
}

void Choose(const char* name, bool with) {
  Withdraw(with ? ExcludedComponents() : SelectedComponents(), name);
  Withdraw(with ? SelectedComponents() : ExcludedComponents(), name);
  vec_add(with ? SelectedComponents() : ExcludedComponents(), xstrdup(name));
}

const char* Prefix(const char* arg, const char* prefix) {
  size_t n = strlen(prefix);
  return _strnicmp(arg, prefix, n) == 0 ? arg + n : nullptr;
}

void ApplyOption(const char* arg) {
  const char* rest;
  const char* eq;
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
    Choose("SANDRIFT", false);
  } else if ((rest = Prefix(arg, "--no-"))) {
    Choose(rest, false);
  } else if ((rest = Prefix(arg, "--with-"))) {
    Choose(rest, true);
  } else if (_stricmp(arg, "--unattended") == 0) {
    SetVariable("Unattended", "yes");
  } else if ((rest = Prefix(arg, "--log="))) {
    SetVariable("LogFile", rest);
  } else if (_stricmp(arg, "--help") == 0 || strcmp(arg, "/?") == 0) {
    help_asked = true;
  } else if ((rest = Prefix(arg, "--setTrue-")) && *rest) {
    SetVariable(rest, "yes");
  } else if ((rest = Prefix(arg, "--setVariable-")) && (eq = strchr(rest, '=')) && eq > rest) {
    // The name must not be empty: the "=" stands at or after the 16th character.
    char* name = xstrdup(rest);
    name[eq - rest] = '\0';
    SetVariable(name, eq + 1);
    free(name);
  } else if (*arg) {
    // Ignored, without a box: the log names it (another installer's
    // switch, a misspelt option).
    if (!not_understood) not_understood = vec_new();
    vec_add(not_understood, xstrdup(arg));
  }
}

}  // namespace

Vec* ExcludedComponents() {
  if (!excluded) excluded = vec_new();
  return excluded;
}

Vec* SelectedComponents() {
  if (!selected) selected = vec_new();
  return selected;
}

bool HelpAsked() {
  return help_asked;
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

Vec* OptionsNotUnderstood() {
  if (!not_understood) not_understood = vec_new();
  return not_understood;
}

int CommandLineError() {
  return command_line_error;
}

void ReadCommandLine(char* command_line) {
  ApplyOptions(arg_split(command_line, &command_line_error));
  DecideRunMode();
}
