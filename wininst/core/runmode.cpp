#include "wininst/core/runmode.h"

#include "wininst/core/variables.h"

namespace {
RunMode mode;
}  // namespace

const RunMode& Mode() {
  return mode;
}

void SetRunMode(const RunMode& m) {
  mode = m;
  // The variables tell no more than the mode: a flag that is off is unset,
  // as it is before anything sets it.
  auto mirror = [](const char* name, bool on) {
    if (on) {
      SetVariable(name, "yes");
    } else if (GetVariable(name)) {
      SetFlag(name, false);
    }
  };
  mirror("Install", m.install);
  mirror("Repair", m.repair);
  mirror("Remove", m.remove);
  mirror("HeadlessInstall", m.headless);
  mirror("DoProceed", m.proceed);
  mirror("Unattended", m.unattended);
}

RunMode RunModeFromVariables() {
  RunMode m;
  m.install = IsTrue("Install");
  m.repair = IsTrue("Repair");
  m.remove = IsTrue("Remove");
  m.headless = IsTrue("HeadlessInstall");
  m.proceed = IsTrue("DoProceed");
  m.unattended = IsTrue("Unattended");
  return m;
}
