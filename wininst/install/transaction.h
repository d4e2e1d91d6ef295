// The run's transaction: every change that a run makes to the machine is
// named in the product's journal (journal.h) before it is made. A run that
// ends early is taken back (an installation or a repair: the files it made
// go, those it set aside come back, the registry values it changed get their
// former data or absence, the keys and folders it made go once empty) or
// carried to its end (a removal); by the run's owner when a failure or a
// Cancel ends the run, by the next run of the product after a kill or a
// power cut. A commit makes an installation or repair final: what it set
// aside goes.
//
// The journal is the truth: files and the registry cannot change together,
// so whatever the journal names is put back or carried out, idempotently,
// whether or not the change had been made. A committed journal found again
// (a power cut lost the registry's last changes while the files stayed)
// writes the run's registry values once more.
//
// Nothing is deleted, moved or put back outside the places the journal
// names (the installation folder, ResDir, the product's shortcut folder),
// nor through a link.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/registry.h"
#include "wininst/install/journal.h"
#include "wininst/install/undo_folder.h"

class Transaction {
 public:
  enum class Kind : char { kInstall = 'I', kRepair = 'P', kRemove = 'D' };

  // Starts the run's journal; fatal when it cannot be written. The
  // product's lock must be held and no other run's journal left.
  void Begin(Kind kind);
  bool Active() const { return active_; }

  // What the run is about to change is named first (folders, files) and
  // reaches the disk in one write, with whatever else was named since, at
  // the first change: Before() comes right before every change.
  void Before();
  // Folders the run makes, outermost first. Each made folder is reported
  // with FolderMade.
  void FoldersToMake(const std::vector<std::string>& folders);
  void FolderMade() { Changed("folder"); }
  // Files the run writes: those there now are named with the copy they will
  // be set aside as, the others as new. `exists[i]` says whether paths[i] is
  // there (a listing of the folder told).
  void FilesToWrite(const std::vector<std::string>& paths, const std::vector<char>& exists,
                    std::vector<std::string>& copies);
  // A file that was not there when named is there now: named again as one
  // to set aside (before it is); its copy's name.
  std::string FileFoundThere(const std::string& path);
  // Moves the file at `path` aside to `copy` (named before); false (error
  // set) when it cannot.
  bool SetAside(const std::string& path, const std::string& copy);
  // Keeps the file at `path` as `copy` (named before) by a second name of
  // it, the file staying where it is; false where the volume has none.
  bool KeepLinked(const std::string& path, const std::string& copy);
  // A file the run has made or put in place.
  void FileWritten() { Changed("file"); }
  // Folders the run removes (emptied of what the installation no longer
  // holds): an undo makes them again.
  void FolderRemoved(const std::string& folder);

  // Registry values the run sets or deletes: kept with their former state,
  // written once the journal is on the disk (Apply).
  void SetValue(int root, const std::string& key, const std::string& name, const RegRaw& value,
                bool required = false);
  void SetString(int root, const std::string& key, const std::string& name, const std::string& text,
                 bool required = false);
  void SetNumber(int root, const std::string& key, const std::string& name, uint32_t number,
                 bool required = false);
  void DeleteValue(int root, const std::string& key, const std::string& name);
  // A removal: the key and everything below it go.
  void DeleteKey(int root, const std::string& key);
  // Writes the journal, then the registry changes it names; a required
  // write that fails is fatal ("Registry write failure").
  void Apply();

  // A removal: the files and folders to delete, named before the first goes.
  void ToRemove(const std::vector<std::string>& files, const std::vector<std::string>& folders);

  // The work is complete: final from now on. What was set aside goes.
  void Commit();
  // The run ends without its work: taken back (or, a removal, left as far
  // as it got). Runs once.
  void Abandon();

  // A file the run deletes (a removal).
  void FileRemoved() { Changed("delete"); }

  // Every change passes here with its number and kind: a probe build ends
  // the process at the n-th change (the crash points of the fault campaign).
  static void (*change_seam)(unsigned number, const char* kind);

 private:
  void Record(const std::string& line);
  void Sync();
  void Changed(const char* kind);

  bool active_ = false;
  Kind kind_ = Kind::kInstall;
  JournalFile journal_;
  UndoFolder undo_;
  std::vector<std::string> places_;
  std::vector<std::string> touched_;  // values kept already, lower case
  struct Write {
    int root;
    std::string key, name;
    bool erase;
    bool tree;
    RegRaw value;
    bool required;
  };
  std::vector<Write> queued_;
  unsigned changes_ = 0;
};

// What a run of the product had left (killed, a power cut) and the next
// run found: nothing; an installation or repair taken back; a removal (or a
// committed run) carried to its end.
enum class Recovered { kNothing, kTakenBack, kCompleted };
// Takes back or carries to its end whatever a run of the product left.
// Needs the product's lock. A file of it that is this very program goes
// once the program has ended (cleanup_script.h).
Recovered RecoverProduct();
// The same for whatever product's run left a journal that names `folder`
// as the installation folder (a program beside no manifest of its own);
// its lock is taken. False when another run of it is at work.
bool RecoverInstallationAt(const std::string& folder, Recovered& recovered);
