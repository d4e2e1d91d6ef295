#include "wininst/install/journal.h"

#include <windows.h>
#include <ntsecapi.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "common/compat.h"
#include "common/messages.h"
#include "common/osdep.h"
#include "common/registry.h"
#include "wininst/core/messages.h"
#include "wininst/core/product.h"
#include "wininst/core/variables.h"
#include "wininst/install/links.h"
#include "wininst/install/manifest_rules.h"

namespace {

// Under the journal's key: the places of the installation (one a line), the
// undo folder, and numbered values: folders ("0", "1", ...), former registry
// values ("R0", ...), keys made ("K0", ...).
constexpr const char* kPlaces = "Places";
constexpr uint32_t kCopiesPerFolder = 64;
// A file overwritten by the run up to this size is copied for an undo.
constexpr uint32_t kCopyLimit = 64 * 1024;
constexpr const char* kUndoFolder = "Undo";
// In the undo folder: a line a file, "C\tpath" for a file made, "O\tpath\tcopy"
// for one set aside before another was made in its place.
constexpr const char* kLogName = "journal";

struct Journal {
  bool open = false;
  std::string key;
  std::string undo;  // the undo folder, made at the first file
  HANDLE log = INVALID_HANDLE_VALUE;
  uint32_t folders = 0;
  uint32_t values = 0;
  uint32_t keys = 0;
  uint32_t copies = 0;
  std::set<std::string> touched;  // values whose former state is kept, lower case
};

Journal& State() {
  static Journal journal;
  return journal;
}

std::string JournalKey() {
  return std::string(ProductKey()) + "\\Installing";
}

std::string Parent(const std::string& path) {
  const size_t slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void Numbered(const char* prefix, uint32_t& count, const RegRaw& value) {
  const std::string name = prefix + std::to_string(count++);
  reg_set_raw(kRegLocalMachine, State().key.c_str(), name.c_str(), value);
}

RegRaw Text(const std::string& text) {
  return RegRaw{REG_SZ, text + '\0'};
}

void Put16(std::string& out, size_t n) {
  out += static_cast<char>(n & 0xFF);
  out += static_cast<char>((n >> 8) & 0xFF);
}

// The keys on the way to `key` (it included) that are not there yet,
// outermost first.
std::vector<std::string> KeysToMake(int root, const std::string& key) {
  std::vector<std::string> missing;
  for (std::string path = key; !path.empty() && !reg_key_exists(root, path.c_str()); path = Parent(path)) {
    missing.insert(missing.begin(), path);
  }
  return missing;
}

// Notes keys the run makes, for the undo to take away once empty.
void NoteKeys(int root, const std::vector<std::string>& keys) {
  for (const std::string& made : keys) Numbered("K", State().keys, Text(std::to_string(root) + "|" + made));
}

// Keeps what a registry value was before the run first sets or deletes it,
// and the keys the run is about to make.
void BeforeRegistryWrite(int root, const char* key, const char* name) {
  Journal& j = State();
  if (!j.open || (root == kRegLocalMachine && _strnicmp(key, j.key.c_str(), j.key.size()) == 0)) {
    return;
  }
  if (!j.touched.insert(manifest::Lower(std::to_string(root) + "|" + key + "|" + name)).second) return;
  NoteKeys(root, KeysToMake(root, key));
  RegRaw former;
  const bool existed = reg_get_raw(root, key, name, former) == 0;
  std::string record;
  record += static_cast<char>(root);
  record += static_cast<char>(existed);
  for (int shift = 0; shift < 32; shift += 8) record += static_cast<char>((former.type >> shift) & 0xFF);
  Put16(record, strlen(key));
  record += key;
  Put16(record, strlen(name));
  record += name;
  record += former.data;
  Numbered("R", j.values, RegRaw{REG_BINARY, record});
}

size_t Get16(const std::string& in, size_t at) {
  return static_cast<unsigned char>(in[at]) | (static_cast<unsigned char>(in[at + 1]) << 8);
}

// Puts a registry value back as BeforeRegistryWrite kept it.
void RestoreValue(const std::string& record) {
  if (record.size() < 10) return;
  const int root = record[0];
  const bool existed = record[1] != 0;
  uint32_t type = 0;
  for (int i = 0; i < 4; i++) type |= static_cast<uint32_t>(static_cast<unsigned char>(record[2 + i])) << (8 * i);
  const size_t key_length = Get16(record, 6);
  if (record.size() < 8 + key_length + 2) return;
  const std::string key = record.substr(8, key_length);
  const size_t name_length = Get16(record, 8 + key_length);
  if (record.size() < 10 + key_length + name_length) return;
  const std::string name = record.substr(10 + key_length, name_length);
  if (existed) {
    reg_set_raw(root, key.c_str(), name.c_str(), RegRaw{type, record.substr(10 + key_length + name_length)});
  } else {
    reg_delete_value(root, key.c_str(), name.c_str());
  }
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

std::string ReadAll(const std::string& path) {
  std::string text;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return text;
  char buffer[16384];
  DWORD got;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(file);
  return text;
}

bool Inside(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() + 1 && _strnicmp(path.c_str(), folder.c_str(), folder.size()) == 0 &&
         path[folder.size()] == '\\';
}

// The files of the journal's file, newest first: what the run made goes,
// what it set aside comes back. Only inside the installation's places, and
// never through a link.
void UndoFiles(const std::string& undo, const std::vector<std::string>& places) {
  const std::vector<std::string> lines = Lines(ReadAll(undo + "\\" + kLogName));
  // Names withdrawn (X) by a later line: their C line is not the run's file.
  std::vector<std::string> withdrawn;
  auto take_withdrawn = [&](const std::string& path) {
    for (auto w = withdrawn.begin(); w != withdrawn.end(); ++w) {
      if (_stricmp(w->c_str(), path.c_str()) != 0) continue;
      withdrawn.erase(w);
      return true;
    }
    return false;
  };
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    const size_t tab = line->find('\t');
    if (tab != 1) continue;
    const size_t second = line->find('\t', 2);
    const std::string path = line->substr(2, second == std::string::npos ? std::string::npos : second - 2);
    if (!is_plain_path(path.c_str()) || !InPlaces(path, places) || !LinkOnTheWay(Parent(path), places).empty()) {
      continue;
    }
    if ((*line)[0] == 'X') {
      withdrawn.push_back(path);
    } else if ((*line)[0] == 'C') {
      if (!take_withdrawn(path)) DeleteFileA(path.c_str());
    } else if ((*line)[0] == 'O' && second != std::string::npos) {
      const std::string copy = line->substr(second + 1);
      // A copy that is not there was never made: the file stayed in place.
      if (!is_plain_path(copy.c_str()) || !Inside(copy, undo) || !file_exists(copy.c_str())) continue;
      DeleteFileA(path.c_str());
      MoveFileExA(copy.c_str(), path.c_str(), MOVEFILE_COPY_ALLOWED | MOVEFILE_REPLACE_EXISTING);
    }
  }
}

// Whatever is left in a folder of the undo folder (its file, copies not
// needed, the folders of copies), then the folder. A link found there goes
// as a link: nothing is deleted where it leads.
void RemoveUndoFolder(const std::string& undo, int depth = 1) {
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA((undo + "\\*").c_str(), &found);
  for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileA(find, &found)) {
    const std::string path = undo + "\\" + found.cFileName;
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      DeleteFileA(path.c_str());
    } else if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0) {
      if (depth > 0 && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        RemoveUndoFolder(path, depth - 1);
      } else {
        RemoveDirectoryA(path.c_str());
      }
    }
  }
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
  RemoveDirectoryA(undo.c_str());
}

template <typename Visit>
void ForEachNumbered(const std::string& key, const char* prefix, Visit visit) {
  for (uint32_t n = 0;; n++) {
    RegRaw value;
    if (reg_get_raw(kRegLocalMachine, key.c_str(), (prefix + std::to_string(n)).c_str(), value) != 0) {
      break;
    }
    visit(value.data);
  }
}

// Takes back the journal kept under `key`, newest first, and deletes it.
void UndoRecord(const std::string& key) {
  std::string places_text, undo;
  reg_read(kRegLocalMachine, key.c_str(), kPlaces, places_text);
  reg_read(kRegLocalMachine, key.c_str(), kUndoFolder, undo);
  std::vector<std::string> places;
  for (std::string& place : Lines(places_text + "\n")) {
    if (!place.empty()) places.push_back(place);
  }
  std::vector<std::string> folders, values, keys;
  ForEachNumbered(key, "", [&](const std::string& v) { folders.push_back(v.c_str()); });
  ForEachNumbered(key, "R", [&](const std::string& v) { values.push_back(v); });
  ForEachNumbered(key, "K", [&](const std::string& v) { keys.push_back(v.c_str()); });

  if (!undo.empty()) {
    UndoFiles(undo, places);
    RemoveUndoFolder(undo);
  }
  // Innermost first; a folder that is not empty stays.
  for (auto f = folders.rbegin(); f != folders.rend(); ++f) RemoveDirectoryA(f->c_str());
  for (auto v = values.rbegin(); v != values.rend(); ++v) RestoreValue(*v);
  reg_delete_tree(kRegLocalMachine, key.c_str());
  // The keys the run made, innermost first, once nothing is left in them.
  for (auto k = keys.rbegin(); k != keys.rend(); ++k) {
    const size_t bar = k->find('|');
    if (bar == std::string::npos) continue;
    const int root = atoi(k->substr(0, bar).c_str());
    const std::string path = k->substr(bar + 1);
    if (reg_key_empty(root, path.c_str())) reg_delete_tree(root, path.c_str());
  }
}

// Makes the undo folder and the journal's file in it, once: in the
// installation folder where it exists, else beside `path`.
bool OpenLog(const char* path) {
  Journal& j = State();
  if (j.log == INVALID_HANDLE_VALUE) {
    const char* inst_dir = GetVariable("InstDir");
    const std::string base = inst_dir && is_folder(inst_dir) ? std::string(inst_dir) : Parent(path);
    for (int attempt = 0; attempt < 100 && j.undo.empty(); attempt++) {
      uint32_t number = 0;
      RtlGenRandom(&number, sizeof number);
      char name[32];
      snprintf(name, sizeof name, "\\~undo%08lx", static_cast<unsigned long>(number));
      const std::string folder = base + name;
      // Named in the journal before it exists: a run killed in between
      // leaves a name, never a folder nobody knows.
      reg_set_string(kRegLocalMachine, j.key.c_str(), kUndoFolder, folder.c_str());
      if (CreateDirectoryA(folder.c_str(), nullptr)) {
        SetFileAttributesA(folder.c_str(), FILE_ATTRIBUTE_HIDDEN);
        j.undo = folder;
      } else if (GetLastError() != ERROR_ALREADY_EXISTS) {
        break;
      }
    }
    if (j.undo.empty()) return false;
    j.log = CreateFileA((j.undo + "\\" + kLogName).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (j.log == INVALID_HANDLE_VALUE) return false;
  }
  return true;
}

// Appends a line to the journal's file, written at once: a killed run
// leaves every line it wrote.
bool Log(const std::string& line, const char* path) {
  Journal& j = State();
  if (!OpenLog(path)) return false;
  DWORD written = 0;
  return WriteFile(j.log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
         written == line.size();
}

void CloseLog() {
  Journal& j = State();
  if (j.log != INVALID_HANDLE_VALUE) CloseHandle(j.log);
  j.log = INVALID_HANDLE_VALUE;
}

[[noreturn]] void RefuseLink(const char* path) {
  Fatal("%s is a link to another place.\nThe installation writes nothing through a link; "
        "remove the link and run the installation again.",
        path);
}

}  // namespace

void RecoverKilledRun() {
  const std::string key = JournalKey();
  if (reg_key_exists(kRegLocalMachine, key.c_str())) UndoRecord(key);
}

void BeginJournal() {
  RecoverKilledRun();
  Journal& j = State();
  j = Journal{};
  j.key = JournalKey();
  // The journal's key makes the product's keys that are not there yet: they
  // are the run's to take away again.
  const std::vector<std::string> missing = KeysToMake(kRegLocalMachine, Parent(j.key));
  std::string places;
  for (const std::string& place : InstallationPlaces()) places += place + "\n";
  reg_set_string(kRegLocalMachine, j.key.c_str(), kPlaces, places.c_str());
  NoteKeys(kRegLocalMachine, missing);
  j.open = true;
  reg_observe_writes(BeforeRegistryWrite);
  AddEndRunHook([](int code) {
    if (code != 0) UndoJournal();
  });
}

namespace {

// A new name for a copy in the undo folder (open). The copies lie in
// folders of kCopiesPerFolder: a new name in a folder costs Wine a look at
// every name already there.
std::string NextCopy() {
  Journal& j = State();
  const std::string folder = j.undo + "\\" + std::to_string(j.copies / kCopiesPerFolder);
  if (j.copies % kCopiesPerFolder == 0) CreateDirectoryA(folder.c_str(), nullptr);
  return folder + "\\" + std::to_string(j.copies++ % kCopiesPerFolder);
}

// The journal's line for the file at `path` kept as `copy`.
std::string SetAsideLine(const char* path, const std::string& copy) {
  return "O\t" + std::string(path) + "\t" + copy + "\n";
}

// Moves the file at `path` into the undo folder, named in the journal (after
// `before`, in the same write) before it moves.
bool MoveAside(const char* path, const std::string& before) {
  if (is_link(path)) RefuseLink(path);
  if (!file_exists(path)) return true;
  Journal& j = State();
  if (!j.open) {
    // Outside an installation (a repair) nothing is kept: the file just goes.
    if (DeleteFileA(path) || GetLastError() == ERROR_FILE_NOT_FOUND) return true;
    errno = errno_of(GetLastError());
    return false;
  }
  // The copy is named in the journal before the file moves.
  bool kept = OpenLog(path);
  if (kept) {
    const std::string copy = NextCopy();
    kept = Log(before + SetAsideLine(path, copy), path) &&
           MoveFileExA(path, copy.c_str(), MOVEFILE_COPY_ALLOWED);
  }
  if (!kept) errno = errno_of(GetLastError());
  return kept;
}

}  // namespace

bool SetAside(const char* path) {
  return MoveAside(path, "");
}

namespace {

RunBuffer<uint8_t, 256 * 1024> read_buffer;

// The open `file` holds exactly the `size` bytes at `bytes`.
bool Holds(HANDLE file, const uint8_t* bytes, uint32_t size) {
  uint32_t at = 0;
  DWORD got = 0;
  while (at < size &&
         ReadFile(file, read_buffer.get(), std::min<uint32_t>(size - at, read_buffer.size()), &got, nullptr) &&
         got > 0 && memcmp(read_buffer.get(), bytes + at, got) == 0) {
    at += got;
  }
  return at == size;
}

// Copies the first `size` bytes of `file` into a new file at `copy`.
bool CopyOut(HANDLE file, uint32_t size, const std::string& copy) {
  HANDLE out = CreateFileA(copy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return false;
  bool ok = SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0;
  for (uint32_t left = size; ok && left > 0;) {
    DWORD got = 0, written = 0;
    ok = ReadFile(file, read_buffer.get(), std::min<uint32_t>(left, read_buffer.size()), &got, nullptr) && got > 0 &&
         WriteFile(out, read_buffer.get(), got, &written, nullptr) && written == got;
    left -= got;
  }
  ok = CloseHandle(out) && ok;
  if (!ok) DeleteFileA(copy.c_str());
  return ok;
}

}  // namespace

InPlace OverwriteInstallationFile(const char* path, const uint8_t* bytes, uint32_t size) {
  // Only a plain file with this one name, held by nobody else while the run
  // has it: never a link's target nor bytes that another name shares.
  HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return InPlace::kNot;
  // Not GetFileInformationByHandle: under Wine its volume's serial number
  // costs more than the rest of the file's work.
  FILE_BASIC_INFO basic;
  FILE_STANDARD_INFO standard;
  if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
      !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) ||
      (basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) || standard.Directory ||
      standard.NumberOfLinks != 1 || standard.EndOfFile.QuadPart > 0xFFFFFFFF) {
    CloseHandle(file);
    return InPlace::kNot;
  }
  const uint32_t former = static_cast<uint32_t>(standard.EndOfFile.QuadPart);
  if (former == size && Holds(file, bytes, size)) {
    CloseHandle(file);
    return InPlace::kUnchanged;
  }
  // The former bytes are copied into the undo folder, and only then named
  // in the journal: a copy the journal names is always whole. A larger file
  // is moved aside instead (OpenInstallationFile): moving costs the same
  // whatever the size, copying grows with it.
  Journal& j = State();
  if (j.open && former > kCopyLimit) {
    CloseHandle(file);
    return InPlace::kNot;
  }
  if (j.open) {
    const bool kept = OpenLog(path) && [&] {
      const std::string copy = NextCopy();
      return CopyOut(file, former, copy) && Log(SetAsideLine(path, copy), path);
    }();
    if (!kept) {
      CloseHandle(file);
      return InPlace::kNot;
    }
  }
  if (SetFilePointer(file, static_cast<LONG>(size), nullptr, FILE_BEGIN) != size || !SetEndOfFile(file) ||
      SetFilePointer(file, 0, nullptr, FILE_BEGIN) != 0) {
    CloseHandle(file);
    return InPlace::kNot;
  }
  AdoptOutput(file, path);
  return InPlace::kOverwriting;
}

OutputOpened OpenInstallationFile(const char* path) {
  // Named before it is made: a run killed in between leaves a name of a file
  // that is not there, never a file nobody knows.
  JournalCreated(path);
  OutputOpened opened = OpenOutput(path);
  if (opened == OutputOpened::kFailed && errno == EEXIST) {
    // The file there is not the run's: the name just written is withdrawn,
    // and the file set aside makes its place the run's.
    if (!MoveAside(path, State().open ? "X\t" + std::string(path) + "\n" : "")) {
      return OutputOpened::kFailed;
    }
    opened = OpenOutput(path);
    if (opened == OutputOpened::kCreated) opened = OutputOpened::kReplaced;
  }
  return opened;
}

void JournalCreated(const char* path) {
  if (State().open) Log("C\t" + std::string(path) + "\n", path);
}

void JournalCreatedAll(const std::vector<std::string>& paths) {
  if (!State().open || paths.empty()) return;
  std::string lines;
  for (const std::string& path : paths) lines += "C\t" + path + "\n";
  Log(lines, paths.front().c_str());
}

OutputOpened OpenFileInNewFolder(const char* path) {
  const OutputOpened opened = OpenOutput(path);
  return opened == OutputOpened::kFailed && errno == EEXIST ? OpenInstallationFile(path) : opened;
}

void JournalFolder(const char* path) {
  Journal& j = State();
  if (!j.open) return;
  reg_set_string(kRegLocalMachine, j.key.c_str(), std::to_string(j.folders++).c_str(), path);
}

void CommitJournal() {
  Journal& j = State();
  if (!j.open) return;
  j.open = false;
  reg_observe_writes(nullptr);
  CloseLog();
  if (!j.undo.empty()) RemoveUndoFolder(j.undo);
  reg_delete_tree(kRegLocalMachine, j.key.c_str());
}

void UndoJournal() {
  Journal& j = State();
  if (!j.open) return;
  j.open = false;
  reg_observe_writes(nullptr);
  // The file being written when the run ended must be closed to go, and
  // the folders the run held must be let go to be removed.
  AbandonOutput();
  ReleaseFolders();
  CloseLog();
  UndoRecord(j.key);
}
