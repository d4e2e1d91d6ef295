// The run's work, the part of a run that changes the machine: an
// installation (the features, the registration, the shortcuts, the
// installed manifest, then the commit), a repair or a removal. Each is one
// transaction (transaction.h) that the work owns while it runs: a failure
// or a confirmed Cancel has it taken back. The progress page shows the work
// as it goes; a headless run passes through the same page.
#pragma once

// Does the work the run's mode asks for, to its end.
void DoRunWork();
