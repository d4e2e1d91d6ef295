#include "wininst/install/placement.h"

#include <windows.h>
#include <ntsecapi.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <cstdlib>
#include <utility>
#include <vector>

#include "common/alloc.h"
#include "common/compat.h"
#include "common/messages.h"
#include "common/osdep.h"
#include "wininst/core/paths.h"
#include "wininst/install/links.h"
#include "wininst/install/transaction.h"

namespace {

std::string Lower(std::string text) {
  CharLowerBuffA(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

// The names of a folder in lower case, each with its attributes, sorted:
// one look at the folder answers for all its files.
class Listing {
 public:
  void Read(const std::string& folder) {
    names_.clear();
    at_.clear();
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileA(find, &found)) {
      at_.push_back(static_cast<uint32_t>(names_.size()));
      names_ += Lower(found.cFileName);
      names_.append(1, '\0').append(reinterpret_cast<const char*>(&found.dwFileAttributes), 4);
    }
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
    base = names_.data();
    qsort(at_.data(), at_.size(), sizeof(uint32_t), Compare);
  }
  // The attributes of `name` (lower case); INVALID_FILE_ATTRIBUTES when it is not there.
  DWORD Attributes(const std::string& name) const {
    base = names_.data();
    key = name.c_str();
    const void* at = bsearch(nullptr, at_.data(), at_.size(), sizeof(uint32_t), Compare);
    if (!at) return INVALID_FILE_ATTRIBUTES;
    DWORD attributes;
    memcpy(&attributes, base + *static_cast<const uint32_t*>(at) + name.size() + 1, 4);
    return attributes;
  }

 private:
  // What qsort and bsearch compare: names in `base` at the offsets given, or
  // `key` where the first is the search's own (null) key.
  static inline const char* base;
  static inline const char* key;
  static int Compare(const void* a, const void* b) {
    const char* left = a ? base + *static_cast<const uint32_t*>(a) : key;
    return strcmp(left, base + *static_cast<const uint32_t*>(b));
  }
  std::string names_;
  std::vector<uint32_t> at_;
};


}  // namespace

Placement::Placement(Transaction& transaction, std::vector<std::string> paths, bool new_folder, bool whole)
    : transaction_(transaction) {
  entries_.reserve(paths.size());
  std::string listed;
  Listing names;
  for (std::string& path : paths) {
    Entry e;
    e.path = std::move(path);
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    if (!new_folder) {
      // Many files in one folder: one listing of it; a file alone: one look.
      const std::string folder = ParentOf(e.path);
      if (paths.size() > 1 && _stricmp(folder.c_str(), listed.c_str()) != 0) {
        names.Read(folder);
        listed = folder;
      }
      if (paths.size() > 1) {
        attributes = names.Attributes(Lower(e.path.substr(folder.size() + 1)));
      } else {
        attributes = GetFileAttributesA(e.path.c_str());
      }
    }
    e.there = attributes != INVALID_FILE_ATTRIBUTES;
    e.link = e.there && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    e.folder = e.there && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    if (whole) {
      uint32_t number = 0;
      RtlGenRandom(&number, sizeof number);
      e.whole = e.path + ".~" + Decimal(number);
    }
    entries_.push_back(std::move(e));
  }
  std::vector<std::string> named;
  std::vector<char> there;
  for (const Entry& e : entries_) {
    // The new name first: an undo takes back the newest first.
    if (whole) {
      named.push_back(e.whole);
      there.push_back(false);
    }
    named.push_back(e.path);
    there.push_back(e.there);
  }
  std::vector<std::string> copies;
  transaction_.FilesToWrite(named, there, copies);
  if (whole) {
    for (size_t i = 0; i < entries_.size(); i++) copies[i] = copies[2 * i + 1];
    copies.resize(entries_.size());
  }
  for (size_t i = 0; i < entries_.size(); i++) entries_[i].copy = std::move(copies[i]);
}

Placement::Entry* Placement::Find(const std::string& path) {
  // Files are looked at, opened and finished in the order they were named:
  // the next one, or the one looked at last.
  for (size_t at : {next_, next_ - 1}) {
    if (at < entries_.size() && _stricmp(entries_[at].path.c_str(), path.c_str()) == 0) {
      next_ = at + 1;
      return &entries_[at];
    }
  }
  for (Entry& e : entries_) {
    if (_stricmp(e.path.c_str(), path.c_str()) == 0) return &e;
  }
  return nullptr;
}

bool Placement::There(const std::string& path) {
  const Entry* e = Find(path);
  return e && e->there && !e->link && !e->folder;
}

bool Placement::MakeWay(const std::string& path) {
  return MakeWay(Find(path), path);
}

bool Placement::MakeWay(Entry* e, const std::string& path) {
  std::string copy;
  if (e && e->there) {
    copy = e->copy;
  } else if (file_exists(path.c_str()) || is_link(path.c_str())) {
    // Put there since the group was named.
    copy = transaction_.FileFoundThere(path);
  } else {
    return true;
  }
  if (is_link(path.c_str())) RefuseLink(path);
  if (is_folder(path.c_str())) Fatal("Folder %s exists where the installation puts a file.", path.c_str());
  if (transaction_.SetAside(path, copy)) {
    if (e) e->there = false;
    return true;
  }
  errno = errno_of(GetLastError());
  return false;
}

OutputOpened Placement::Open(const std::string& path) {
  Entry* e = Find(path);
  transaction_.Before();
  if (e && !e->whole.empty()) {
    const OutputOpened opened = OpenOutput(e->whole.c_str());
    if (opened != OutputOpened::kFailed) transaction_.FileWritten();
    return opened;
  }
  const bool was_there = e && e->there;
  // A file named as new is made new: no look for it (under Wine a look for
  // a name that is not there costs a look at every name in the folder).
  if ((!e || e->there) && !MakeWay(e, path)) return OutputOpened::kFailed;
  OutputOpened opened = OpenOutput(path.c_str());
  // Made there since the group was named: set aside too.
  if (opened == OutputOpened::kFailed && errno == EEXIST) {
    if (!MakeWay(e, path)) return OutputOpened::kFailed;
    opened = OpenOutput(path.c_str());
  }
  if (opened == OutputOpened::kFailed) return opened;
  transaction_.FileWritten();
  return was_there ? OutputOpened::kReplaced : opened;
}

void Placement::Keep(const std::string& path) {
  if (Entry* e = Find(path)) e->there = false;
}

bool Placement::Finish(const std::string& path) {
  const Entry* e = Find(path);
  if (!e || e->whole.empty()) return true;
  if (is_link(path.c_str())) RefuseLink(path);
  // A file another program holds (not to be deleted) cannot be replaced:
  // found out before it gets a second name.
  if (e->there) {
    HANDLE h = CreateFileA(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      errno = errno_of(GetLastError());
      return false;
    }
    CloseHandle(h);
  }
  // The file there stays whole under its copy's name (a second name of it,
  // where the volume allows) until the new one has taken its place at once.
  bool kept = !e->there || transaction_.KeepLinked(path, e->copy);
  if (!kept && !transaction_.SetAside(path, e->copy)) {
    errno = errno_of(GetLastError());
    return false;
  }
  transaction_.Before();
  if (!MoveFileExA(e->whole.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    errno = errno_of(GetLastError());
    return false;
  }
  transaction_.FileWritten();
  return true;
}
