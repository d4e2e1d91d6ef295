// Libraries from the system folder only. The installer runs with
// administrator rights from folders that ordinary users can write to (a
// Downloads folder above all): a DLL of a system name planted beside it must
// never be loaded in place of the system's own.
#pragma once

#include <windows.h>

// Restricts the process's library search to the system folder and the
// folders added for a while (AddedLibraryFolder): called first thing in the
// entry, before any library is loaded by name. Without the call (older
// systems) it at least takes the current folder out of the search.
void RestrictLibrarySearch();

// The system folder's library `name` ("newdev.dll"), loaded or null; never
// one of that name from any other folder.
HMODULE LoadSystemLibrary(const char* name);

// A function of a library loaded by LoadSystemLibrary, cast to its type
// (null when the library or the function is missing).
template <typename F>
F SystemFunction(HMODULE library, const char* name) {
  return library ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library, name)))
                 : nullptr;
}

// Loads the DLL at the full path `dll` so that the libraries it needs are
// taken from its own folder and the system folder, never from the
// installer's; while `folder` is alive, libraries that it loads by name are
// found in that folder as well.
class AddedLibraryFolder {
 public:
  explicit AddedLibraryFolder(const char* folder);
  ~AddedLibraryFolder();
  AddedLibraryFolder(const AddedLibraryFolder&) = delete;
  AddedLibraryFolder& operator=(const AddedLibraryFolder&) = delete;
  HMODULE Load(const char* dll);

 private:
  void* cookie_ = nullptr;  // the added folder's, where the system adds folders
  bool set_folder_ = false;  // the fallback: the folder set as the one extra folder
};
