#include "wininst/install/journal.h"

#include <windows.h>

#include <string>
#include <vector>

#include "common/compat.h"
#include "common/osdep.h"
#include "common/registry.h"
#include "wininst/core/messages.h"
#include "wininst/core/product.h"
#include "wininst/install/installed.h"
#include "wininst/install/links.h"
#include "wininst/install/output.h"

namespace {

struct Journal {
  bool open = false;
  std::vector<std::string> files;     // made by the run
  std::vector<std::string> replaced;  // there before the run, written over
  std::vector<std::string> folders;   // outermost first
  bool registered_anew = false;
  // The folders' copy under the product's key: its key while it is kept,
  // and the number of entries.
  std::string key;
  uint32_t entries = 0;
};

Journal& State() {
  static Journal journal;
  return journal;
}

void EndFolderCopy() {
  Journal& j = State();
  if (j.key.empty()) return;
  reg_delete_tree(kRegLocalMachine, j.key.c_str());
  j.key.clear();
}

}  // namespace

void BeginJournal() {
  Journal& j = State();
  j.open = true;
  j.key = std::string(ProductKey()) + "\\Installing";
  for (j.entries = 0;; j.entries++) {
    std::string folder;
    if (reg_read(kRegLocalMachine, j.key.c_str(), std::to_string(j.entries).c_str(), folder) != 0) {
      break;
    }
    if (is_folder(folder.c_str())) {
      j.folders.push_back(folder);
      RecordCreatedFolder(folder.c_str());
    }
  }
  AddEndRunHook([](int code) {
    if (code != 0) UndoJournal();
  });
}

void JournalFile(const char* path, bool replaced) {
  (replaced ? State().replaced : State().files).emplace_back(path);
}

void JournalFolder(const char* path) {
  Journal& j = State();
  j.folders.emplace_back(path);
  if (!j.key.empty()) {
    reg_set_string(kRegLocalMachine, j.key.c_str(), std::to_string(j.entries++).c_str(), path);
  }
}

void JournalRegistration(bool was_registered) {
  State().registered_anew = !was_registered;
}

void CommitJournal() {
  EndFolderCopy();
  State().open = false;
}

void UndoJournal() {
  Journal& j = State();
  if (!j.open) return;
  j.open = false;
  // The file being written when the run ended must be closed to go, and
  // the folders the run held must be let go to be removed.
  AbandonOutput();
  ReleaseFolders();
  for (auto f = j.files.rbegin(); f != j.files.rend(); ++f) DeleteFileA(f->c_str());
  // Innermost first; a folder that is not empty stays.
  for (auto f = j.folders.rbegin(); f != j.folders.rend(); ++f) RemoveDirectoryA(f->c_str());
  EndFolderCopy();
  if (j.registered_anew) UnregisterProduct();
}
