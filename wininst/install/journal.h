// The product's journal on the disk, and the product's lock.
//
// One run of a product (any version, the installer or its installed copy)
// works at a time on the machine: the product's lock is a named kernel
// object that dies with its process, so that a run that was killed holds
// nothing. The journal of the run that holds the lock is one file per
// product, at a place every run of the product finds first whatever its
// version: a folder below the system's common program files, which only
// administrators can change. What reaches the file is made durable
// (written and flushed) before the changes it describes are made, so that
// after a kill or a power cut the next run of the product finds it whole.
#pragma once

#include <string>
#include <utility>
#include <vector>

// The name of this run's product for its lock and journal (every version
// of the product shares it).
std::string CurrentProductId();
// The products whose journals lie there now.
std::vector<std::string> JournalIds();
// Takes the product's lock (this run's product, or the one named); false
// when a live run of the product holds it. Held until the process ends or
// ReleaseProductLock.
bool TakeProductLock(const std::string& id = CurrentProductId());
// Lets the lock go while the run waits for another run of the product that
// it started itself (a previous installation's remover).
void ReleaseProductLock();
bool HoldsProductLock();

class JournalFile {
 public:
  explicit JournalFile(std::string id = CurrentProductId()) : id_(std::move(id)) {}
  ~JournalFile();
  JournalFile(const JournalFile&) = delete;
  JournalFile& operator=(const JournalFile&) = delete;

  // The journal a run of the product left, if any: its lines (the last one
  // whole: a line cut by the end of a run does not count).
  bool Find(std::vector<std::string>& lines) const;
  // Makes the product's journal new; false (error set) when it cannot.
  bool Create();
  // Adds a line (without its end) to what the next Sync writes.
  void Add(const std::string& line) { pending_ += line + "\n"; }
  bool Pending() const { return !pending_.empty(); }
  // Writes what was added and flushes it to the disk; false when either
  // fails (a full disk): then the change it was to describe must not be made.
  bool Sync();
  // Closes the file, leaving it where it is.
  void Close();
  // Where it lies, and the folder of the journals.
  std::string Path() const;
  static std::string Folder();
  // Deletes the file (and its folder, once empty).
  void Delete();
  bool IsOpen() const;

 private:
  std::string id_;
  void* file_ = nullptr;
  std::string pending_;
};
