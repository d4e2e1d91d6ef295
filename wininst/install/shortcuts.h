// The manifest's shortcuts, made after an installation or a repair.
#pragma once

#include <string>

class Transaction;

// Creates every shortcut in the start-menu folder and records the link
// files; a link there of that name is set aside first.
void CreateShortcuts(Transaction& transaction);
// Writes one shell link; description, arguments, working folder and icon may
// be null. Returns the save result. Failures are fatal.
long MakeShellLink(const char* target, const char* link, const char* description,
                   const char* arguments, const char* working_folder, const char* icon);
// The target of an existing link file; empty when it cannot be read. COM
// must be initialised on the thread.
std::string ShellLinkTarget(const char* link);
// Whether `target` lies in the folder of another installation of this
// product (another version or patch level the registry records): a
// shortcut of that name that leads there is that installation's, to keep.
bool PointsIntoAnotherInstallation(const std::string& target);

// COM for the thread, for as long as the shortcut work runs.
class ComScope {
 public:
  ComScope();
  ~ComScope();
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
};
