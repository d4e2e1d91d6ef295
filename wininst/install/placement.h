// How the files of an installation take their places. A group of files
// about to be written (a folder's files, the resources, the shortcuts, the
// installed manifest) is looked up in one listing of each folder and named
// in the run's journal in one write; each file is then put in place: new,
// or in the place of the file there, which is set aside first (an undo puts
// it back), unless that file holds the very bytes already: then it stays.
// Nothing is written through a link, nor in the place of a folder.
#pragma once

#include <string>
#include <vector>

#include "wininst/install/output.h"

class Transaction;

class Placement {
 public:
  // `new_folder`: the files go into a folder the run has just made, where
  // nothing is looked for (under Wine a look for a name that is not there
  // costs a look at every name in the folder). `whole`: each file takes its
  // place only once it is whole (the installed copy of the program and its
  // manifest, which a later run must always find whole): written under a
  // new name beside it, then put in place at once by Finish.
  Placement(Transaction& transaction, std::vector<std::string> paths, bool new_folder, bool whole = false);
  // Whether a plain file is at `path` (one of the group) now.
  bool There(const std::string& path);
  // Opens `path` as the output (output.h), the file there set aside first;
  // kFailed with errno set. A link or a folder in its place is fatal.
  OutputOpened Open(const std::string& path);
  // Makes way for a file that another hand writes (a shortcut): the file
  // there is set aside; false with errno set when it cannot be.
  bool MakeWay(const std::string& path);
  // The file there holds the bytes already and stays: nothing is written.
  void Keep(const std::string& path);
  // The file opened (and closed) for `path` takes its place, when the
  // group's files are written whole; false (errno set) when it cannot.
  bool Finish(const std::string& path);

 private:
  struct Entry {
    std::string path;
    bool there = false;
    bool link = false;
    bool folder = false;
    std::string copy;  // named in the journal when the file is there
    std::string whole;  // the new name it is written under first, or empty
  };
  Entry* Find(const std::string& path);
  bool MakeWay(Entry* e, const std::string& path);

  Transaction& transaction_;
  std::vector<Entry> entries_;
  size_t next_ = 0;
};
