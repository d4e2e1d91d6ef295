// The undo folder: a hidden folder "~undo<number>" in the installation
// folder that keeps the files a run set aside (moved out of the way of the
// ones it writes) until the run ends: put back by an undo, deleted when the
// run commits. It lies on the installation's own volume, so that setting a
// file aside is a rename whatever its size. It is made new, with rights for
// administrators only, and its copies in numbered folders of their own.
#pragma once

#include <string>

class UndoFolder {
 public:
  // A new name in `base` (not made yet); the journal names it before it is made.
  void Choose(const std::string& base);
  void Adopt(const std::string& path) { path_ = path; }
  const std::string& Path() const { return path_; }
  // The name the next copy will have (its folder made when needed).
  std::string NextCopy();
  // Moves the file at `path` to `copy` (NextCopy); false (error set) when it
  // cannot.
  bool Keep(const std::string& path, const std::string& copy);
  // Makes `copy` a second name of the file at `path` (the volume's hard
  // link); false (error set) where that cannot be.
  bool Link(const std::string& path, const std::string& copy);
  // Deletes the folder and everything left in it. A file that cannot go now
  // (a program of the installation still runs from it) is set to go when the
  // computer restarts. A link found in it goes as a link.
  void Remove();
  // Whether `path` names a copy in this folder.
  bool Holds(const std::string& path) const;

 private:
  bool Make();
  // The folders of a copy, made; false when they cannot be.
  bool Room(const std::string& copy);
  std::string path_;
  bool made_ = false;
  unsigned copies_ = 0;
};

// Deletes a file of the installation or of the run, a read-only one too;
// false when another program holds it (a file that is not there is gone).
bool DeleteNow(const std::string& path);
// Deletes a file of the installation or of the run: a read-only one too;
// one that another program holds is set to go at the restart. False when
// it is left where it is.
bool DeleteOrSchedule(const std::string& path, bool* scheduled = nullptr);
