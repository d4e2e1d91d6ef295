#include "wininst/install/transaction.h"

#include <windows.h>
#include <ntsecapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "common/compat.h"
#include "common/messages.h"
#include "common/osdep.h"
#include "common/registry.h"
#include "wininst/core/folders.h"
#include "wininst/core/paths.h"
#include "wininst/install/cleanup_script.h"
#include "wininst/install/links.h"
#include "wininst/install/output.h"

// The journal's lines, fields apart by tabs ("%", tab and line ends written
// as %XX):
//   J 1 <kind>          the first line: the format and the run's kind
//   P <place>           a place of the installation
//   U <folder>          the undo folder (named before it is made)
//   F <folder>          a folder the run makes
//   C <path>            a file the run makes
//   X <path>            an earlier C of that path is withdrawn (a file was there)
//   O <path> <copy>     the file at path set aside as copy
//   D <folder>          a folder the run removes
//   V <root> <key> <name> <former> <new>   a registry value ("-": none, else
//                                          type ":" data in hexadecimal)
//   K <root> <key>      a key the run makes
//   T <root> <key>      a key a removal deletes, with all below it
//   R <path>, Q <folder>  a file, a folder a removal deletes
//   Z                   the run is committed (a removal: complete)

void (*Transaction::change_seam)(unsigned, const char*) = nullptr;

namespace {

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '%' || c == '\t' || c == '\n' || c == '\r') {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

std::string Unescaped(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(strtoul(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
    fields.push_back(Unescaped(line.substr(start, tab - start)));
  }
  fields.push_back(Unescaped(line.substr(start)));
  return fields;
}

// A journal's line: its kind, then each field after a tab.
class Line {
 public:
  explicit Line(char kind) : text_(1, kind) {}
  Line& operator<<(const std::string& field) {
    text_ += '\t';
    text_ += Escaped(field);
    return *this;
  }
  Line& operator<<(int number) { return *this << Decimal(static_cast<uint64_t>(number)); }
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

std::string ValueText(bool exists, const RegRaw& value) {
  if (!exists) return "-";
  std::string text = Decimal(value.type) + ":";
  char hex[3];
  for (unsigned char c : value.data) {
    snprintf(hex, sizeof hex, "%02x", c);
    text += hex;
  }
  return text;
}

// "-" or "type:hex"; false for a value that was absent.
bool ParseValue(const std::string& text, RegRaw& value) {
  const size_t colon = text.find(':');
  if (text == "-" || colon == std::string::npos) return false;
  value.type = static_cast<uint32_t>(strtoul(text.substr(0, colon).c_str(), nullptr, 10));
  value.data.clear();
  for (size_t i = colon + 1; i + 1 < text.size(); i += 2) {
    value.data += static_cast<char>(strtoul(text.substr(i, 2).c_str(), nullptr, 16));
  }
  return true;
}

// The keys on the way to `key` (it included) that are not there yet,
// outermost first.
std::vector<std::string> KeysToMake(int root, const std::string& key) {
  std::vector<std::string> missing;
  for (std::string path = key; !path.empty() && !reg_key_exists(root, path.c_str()); path = ParentOf(path)) {
    missing.insert(missing.begin(), path);
  }
  return missing;
}

void Put(int root, const std::string& key, const std::string& name, const std::string& text) {
  RegRaw value;
  if (ParseValue(text, value)) {
    reg_set_raw(root, key.c_str(), name.c_str(), value);
  } else {
    reg_delete_value(root, key.c_str(), name.c_str());
  }
}

// A journal as the next run reads it.
struct Journal {
  char kind = 0;
  bool committed = false;
  std::vector<std::string> places;
  UndoFolder undo;
  std::vector<std::vector<std::string>> records;

  explicit Journal(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
      std::vector<std::string> f = Fields(line);
      if (f.empty() || f[0].empty()) continue;
      if (f[0] == "J" && f.size() >= 3 && !f[2].empty()) kind = f[2][0];
      if (f[0] == "P" && f.size() >= 2 && is_plain_path(f[1].c_str())) places.push_back(f[1]);
      if (f[0] == "U" && f.size() >= 2 && is_plain_path(f[1].c_str())) undo.Adopt(f[1]);
      if (f[0] == "Z") committed = true;
      records.push_back(std::move(f));
    }
  }

  // A file of the installation: a plain path in its places, no link on the way.
  bool Allowed(const std::string& path) const {
    return is_plain_path(path.c_str()) && InPlaces(path, places) &&
           LinkOnTheWay(ParentOf(path), places).empty();
  }
  // A copy of the undo folder: in it, no link on the way.
  bool CopyAllowed(const std::string& copy) const {
    return undo.Holds(copy) && !is_link(undo.Path().c_str()) &&
           LinkOnTheWay(ParentOf(copy), {undo.Path()}).empty();
  }
  // A folder the run made or removes: only ever made or removed while
  // empty, never through a link.
  static bool FolderAllowed(const std::string& folder) {
    return is_plain_path(folder.c_str()) && !is_link(folder.c_str());
  }

  // The program that runs now: it cannot delete itself, the clean-up
  // script does once it has ended.
  static bool Own(const std::string& path) { return SamePath(path, ProgramPath()); }

  // Deletes a file of the run; this very program's goes after the run.
  static void Delete(const std::string& path) {
    if (Own(path)) {
      DeleteAfterRun(path);
    } else {
      DeleteOrSchedule(path);
    }
  }

  // Removes a folder once empty; one that holds this very program goes
  // after the run.
  static void RemoveFolder(const std::string& folder) {
    if (!RemoveDirectoryA(folder.c_str()) && PathBelow(ProgramPath(), folder)) RemoveFolderAfterRun(folder);
  }

  // Leaves a file in the undo folder that is this very program to the
  // clean-up script, with the folders that hold it.
  void LeaveOwn(const std::string& file) {
    DeleteAfterRun(file);
    for (std::string folder = ParentOf(file); PathBelow(folder, undo.Path()) || SamePath(folder, undo.Path());
         folder = ParentOf(folder)) {
      RemoveFolderAfterRun(folder);
    }
  }

  // Whether two names are of one file (a second name the run made of it):
  // by the file's identity; where another program holds it so that it
  // cannot be opened, by what the folder says of both (one file's names
  // share its size and times to the tick, a file written since has others).
  static bool OneFile(const std::string& a, const std::string& b) {
    BY_HANDLE_FILE_INFORMATION info[2];
    int got = 0;
    for (const std::string* path : {&a, &b}) {
      HANDLE h = CreateFileA(path->c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
      if (h == INVALID_HANDLE_VALUE) break;
      got += GetFileInformationByHandle(h, &info[got]) ? 1 : 0;
      CloseHandle(h);
    }
    if (got == 2) {
      return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
             info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
    }
    WIN32_FILE_ATTRIBUTE_DATA data[2];
    if (!GetFileAttributesExA(a.c_str(), GetFileExInfoStandard, &data[0]) ||
        !GetFileAttributesExA(b.c_str(), GetFileExInfoStandard, &data[1])) {
      return false;
    }
    return data[0].nFileSizeLow == data[1].nFileSizeLow && data[0].nFileSizeHigh == data[1].nFileSizeHigh &&
           CompareFileTime(&data[0].ftLastWriteTime, &data[1].ftLastWriteTime) == 0 &&
           CompareFileTime(&data[0].ftCreationTime, &data[1].ftCreationTime) == 0;
  }

  // Puts the file `copy` back at `path`, where the run's own file goes
  // first. False when it cannot be done now.
  bool PutBack(const std::string& path, const std::string& copy) {
    // The file never left its place: only its second name goes.
    if (OneFile(path, copy)) {
      if (!DeleteNow(copy) && Own(path)) LeaveOwn(copy);
      return true;
    }
    DeleteNow(path);
    if (MoveFileExA(copy.c_str(), path.c_str(), MOVEFILE_COPY_ALLOWED | MOVEFILE_REPLACE_EXISTING)) return true;
    // The run's file is busy (a program of it still runs, this one perhaps):
    // moved out of the way, to go at the restart or after this program, so
    // that the one it replaced comes back.
    uint32_t number = 0;
    RtlGenRandom(&number, sizeof number);
    const std::string busy = undo.Path() + "\\~busy" + Decimal(number);
    const bool own = Own(path);
    if (!undo.Keep(path, busy) || !MoveFileExA(copy.c_str(), path.c_str(), MOVEFILE_COPY_ALLOWED)) return false;
    MoveFileExA(busy.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    if (own) LeaveOwn(busy);
    return true;
  }

  // Takes the run back, newest first; false when something could not be put
  // back now (the journal then stays for the next run).
  bool Undo() {
    bool whole = true;
    std::vector<std::string> withdrawn;
    for (auto r = records.rbegin(); r != records.rend(); ++r) {
      const std::vector<std::string>& f = *r;
      const std::string& kind = f[0];
      if (kind == "X" && f.size() >= 2) {
        withdrawn.push_back(f[1]);
      } else if (kind == "C" && f.size() >= 2 && Allowed(f[1])) {
        bool mine = true;
        for (auto w = withdrawn.begin(); w != withdrawn.end(); ++w) {
          if (_stricmp(w->c_str(), f[1].c_str()) == 0) {
            withdrawn.erase(w);
            mine = false;
            break;
          }
        }
        if (mine) Delete(f[1]);
      } else if (kind == "O" && f.size() >= 3 && Allowed(f[1]) && CopyAllowed(f[2])) {
        // A copy that is not there was never made: the file stayed in place.
        if (file_exists(f[2].c_str()) && !PutBack(f[1], f[2])) whole = false;
      } else if (kind == "F" && f.size() >= 2 && FolderAllowed(f[1])) {
        RemoveFolder(f[1]);
      } else if (kind == "D" && f.size() >= 2 && Allowed(f[1])) {
        CreateDirectoryA(f[1].c_str(), nullptr);
      } else if (kind == "V" && f.size() >= 6) {
        Put(atoi(f[1].c_str()), f[2], f[3], f[4]);
      } else if (kind == "K" && f.size() >= 3) {
        const int root = atoi(f[1].c_str());
        if (reg_key_empty(root, f[2].c_str())) reg_delete_tree(root, f[2].c_str());
      }
    }
    if (whole) undo.Remove();
    return whole;
  }

  // Carries a committed run's registry changes out once more, or a removal
  // to its end.
  void Complete() {
    for (const std::vector<std::string>& f : records) {
      const std::string& kind = f[0];
      if (kind == "V" && f.size() >= 6) {
        Put(atoi(f[1].c_str()), f[2], f[3], f[5]);
      } else if (kind == "T" && f.size() >= 3) {
        reg_delete_tree(atoi(f[1].c_str()), f[2].c_str());
      } else if (kind == "R" && f.size() >= 2 && is_plain_path(f[1].c_str()) && InPlaces(f[1], places) &&
                 LinkOnTheWay(ParentOf(f[1]), places).empty()) {
        Delete(f[1]);
      } else if (kind == "Q" && f.size() >= 2 && FolderAllowed(f[1])) {
        RemoveFolder(f[1]);
      }
    }
    undo.Remove();
  }
};

}  // namespace

void Transaction::Record(const std::string& line) {
  journal_.Add(line);
}

void Transaction::Sync() {
  if (journal_.Sync()) return;
  const DWORD error = GetLastError();
  Fatal("The installation's journal could not be written (error %lu): the disk may be full.\nNothing more "
        "has been changed, and what this run changed is taken back.",
        error);
}

void Transaction::Changed(const char* kind) {
  changes_++;
  if (change_seam) change_seam(changes_, kind);
}

void Transaction::Begin(Kind kind) {
  kind_ = kind;
  places_ = InstallationPlaces();
  if (!journal_.Create()) {
    Fatal("The installation's journal could not be made (error %lu).\nNothing has been changed.",
          GetLastError());
  }
  active_ = true;
  Record((Line('J') << "1" << std::string(1, static_cast<char>(kind))).Text());
  for (const std::string& place : places_) Record((Line('P') << place).Text());
  if (const char* folder = InstallFolder(); folder && kind != Kind::kRemove) {
    undo_.Choose(folder);
    Record((Line('U') << undo_.Path()).Text());
  }
  Sync();
  Changed("begin");
}

void Transaction::FoldersToMake(const std::vector<std::string>& folders) {
  for (const std::string& folder : folders) Record((Line('F') << folder).Text());
  Sync();
}

void Transaction::FilesToWrite(const std::vector<std::string>& paths, const std::vector<char>& exists,
                               std::vector<std::string>& copies) {
  copies.assign(paths.size(), std::string());
  for (size_t i = 0; i < paths.size(); i++) {
    if (exists[i]) {
      copies[i] = undo_.NextCopy();
      Record((Line('O') << paths[i] << copies[i]).Text());
    } else {
      Record((Line('C') << paths[i]).Text());
    }
  }
  Sync();
}

std::string Transaction::FileFoundThere(const std::string& path) {
  const std::string copy = undo_.NextCopy();
  Record((Line('X') << path).Text());
  Record((Line('O') << path << copy).Text());
  Sync();
  return copy;
}

bool Transaction::SetAside(const std::string& path, const std::string& copy) {
  if (!undo_.Keep(path, copy)) return false;
  Changed("set aside");
  return true;
}

bool Transaction::KeepLinked(const std::string& path, const std::string& copy) {
  if (!undo_.Link(path, copy)) return false;
  Changed("set aside");
  return true;
}

void Transaction::FolderRemoved(const std::string& folder) {
  Record((Line('D') << folder).Text());
  Sync();
  if (RemoveDirectoryA(folder.c_str())) Changed("folder");
}

void Transaction::SetValue(int root, const std::string& key, const std::string& name, const RegRaw& value,
                           bool required) {
  for (const std::string& made : KeysToMake(root, key)) Record((Line('K') << root << made).Text());
  RegRaw former;
  const bool existed = reg_get_raw(root, key.c_str(), name.c_str(), former) == 0;
  Record((Line('V') << root << key << name << ValueText(existed, former) << ValueText(true, value)).Text());
  queued_.push_back(Write{root, key, name, false, false, value, required});
}

void Transaction::SetString(int root, const std::string& key, const std::string& name, const std::string& text,
                            bool required) {
  SetValue(root, key, name, RegRaw{REG_SZ, text + '\0'}, required);
}

void Transaction::SetNumber(int root, const std::string& key, const std::string& name, uint32_t number,
                            bool required) {
  SetValue(root, key, name, RegRaw{REG_DWORD, std::string(reinterpret_cast<const char*>(&number), 4)}, required);
}

void Transaction::DeleteValue(int root, const std::string& key, const std::string& name) {
  RegRaw former;
  if (reg_get_raw(root, key.c_str(), name.c_str(), former) != 0) return;
  Record((Line('V') << root << key << name << ValueText(true, former) << "-").Text());
  queued_.push_back(Write{root, key, name, true, false, {}, false});
}

void Transaction::DeleteKey(int root, const std::string& key) {
  Record((Line('T') << root << key).Text());
  queued_.push_back(Write{root, key, "", true, true, {}, false});
}

void Transaction::Apply() {
  Sync();
  std::vector<Write> writes;
  writes.swap(queued_);
  for (const Write& w : writes) {
    long error;
    if (!w.erase) {
      error = reg_set_raw(w.root, w.key.c_str(), w.name.c_str(), w.value);
    } else if (w.tree) {
      error = reg_delete_tree(w.root, w.key.c_str());
    } else {
      error = reg_delete_value(w.root, w.key.c_str(), w.name.c_str());
    }
    Changed("registry");
    if (error != 0 && w.required) Fatal("Registry write failure %d", static_cast<int>(error));
  }
}

void Transaction::ToRemove(const std::vector<std::string>& files, const std::vector<std::string>& folders) {
  for (const std::string& file : files) Record((Line('R') << file).Text());
  for (const std::string& folder : folders) Record((Line('Q') << folder).Text());
  Sync();
}

void Transaction::Commit() {
  if (!active_) return;
  Apply();
  // The registry's changes reach the disk before the journal says they are
  // final (the system writes its hives lazily).
  RegFlushKey(HKEY_LOCAL_MACHINE);
  RegFlushKey(HKEY_CURRENT_USER);
  Record("Z");
  Sync();
  Changed("commit");
  active_ = false;
  undo_.Remove();
  Changed("clean");
  if (kind_ == Kind::kRemove) {
    // The removal's last files (this program) go once it has ended: its
    // journal goes with them, and a run killed before that is completed by
    // the next.
    journal_.Close();
    DeleteAfterRun(journal_.Path());
    RemoveFolderAfterRun(JournalFile::Folder());
  } else {
    journal_.Delete();
  }
  Changed("end");
}

void Transaction::Abandon() {
  if (!active_) return;
  active_ = false;
  queued_.clear();
  // The file being written must be closed to go, and the folders the run
  // held let go to be removed.
  AbandonOutput();
  ReleaseFolders();
  journal_.Close();
  std::vector<std::string> lines;
  if (JournalFile().Find(lines)) {
    Journal journal(lines);
    // A removal stops where it is: the installation stays, removable again.
    if (kind_ == Kind::kRemove || journal.Undo()) JournalFile().Delete();
  }
}

namespace {

Recovered Recover(const std::string& id, const std::vector<std::string>& lines) {
  Journal journal(lines);
  bool done = true;
  Recovered result = Recovered::kCompleted;
  if (journal.kind == static_cast<char>(Transaction::Kind::kRemove) || journal.committed) {
    journal.Complete();
  } else {
    done = journal.Undo();
    result = Recovered::kTakenBack;
  }
  // What could not be put back now stays named, for the next run.
  if (done) JournalFile(id).Delete();
  return result;
}

}  // namespace

Recovered RecoverProduct() {
  std::vector<std::string> lines;
  return JournalFile().Find(lines) ? Recover(CurrentProductId(), lines) : Recovered::kNothing;
}

bool RecoverInstallationAt(const std::string& folder, Recovered& recovered) {
  recovered = Recovered::kNothing;
  for (const std::string& id : JournalIds()) {
    JournalFile file(id);
    std::vector<std::string> lines;
    if (!file.Find(lines)) continue;
    const Journal journal(lines);
    bool names = false;
    for (const std::string& place : journal.places) names = names || SamePath(place, folder);
    if (!names) continue;
    if (!TakeProductLock(id)) return false;
    recovered = Recover(id, lines);
    return true;
  }
  return true;
}
