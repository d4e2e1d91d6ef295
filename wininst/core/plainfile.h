// Files the run writes in place outside what it installs (its log, another
// program's settings file): the run has administrator rights, and no link
// that a user made may lead its writing to another file.
#pragma once

#include <windows.h>

#include <string>

enum class PlainFile {
  kOpened,
  kFailed,            // the system's error is left in GetLastError
  kLinkOnTheWay,      // `where` names the folder that is a link
  kLinkOrOtherNames,  // the file (`where`) is a link, or has other names (hard links)
  kElsewhere,         // it lies elsewhere (`where`), reached through a link
};

// Opens the file at `path` (a full path in its system form) with `access`
// and `share`, made new when it is not there, only where nothing leads it
// elsewhere. The folders from `anchor` (a folder of the path; the path's
// root for the whole way) down to the file are looked at before anything is
// made; then the file is opened without following a link and looked at
// through its handle, so that a folder swapped for a link in between is
// found too: the file is no link, has one name and, where the system tells
// where an open file lies, lies at `path` from the anchor's name down. The
// handle in `file` when opened (the caller closes it); a file that the call
// made and then refused is taken away again.
PlainFile OpenPlainFile(const std::string& path, const std::string& anchor, DWORD access,
                        DWORD share, HANDLE& file, std::string& where);
