// Programs and documents that the user chooses to open once the work is
// done (the completion page's offers, the wizard's links) run with the
// rights of the user whose desktop it is, not with the installer's: the
// desktop's own shell opens them.
#pragma once

// Asks the shell of the desktop the installer runs on to open `file` (a full
// path or an address) with the verb "open", no parameters and the shell's
// own working folder, shown as `show` says. The shell's process starts the
// program: it has the rights of the user who runs that desktop (who started
// the installer), never the installer's administrator rights. False when
// there is no such shell (no desktop shell running, a service's session, a
// system without the shell's automation) or it would not take the file:
// nothing is started then.
bool OpenAsDesktopUser(const char* file, int show);
// Tells the user, in one box, that `what` (a path or an address, or a list
// of them) was left closed for want of a desktop shell.
void TellNotOpened(const char* what);
