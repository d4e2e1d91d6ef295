#include "wininst/install/journal.h"

#include <windows.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "common/handle.h"
#include "common/md5.h"
#include "common/osdep.h"
#include "common/syslib.h"
#include "wininst/core/product.h"
#include "wininst/core/variables.h"

namespace {

constexpr int kCsidlProgramFilesCommon = 0x2B;
constexpr const char* kFolderName = "MERIDOX Installer";

HANDLE lock = nullptr;

}  // namespace

// The digest of the product's family key.
std::string CurrentProductId() {
  std::string family = FamilyKey();
  for (char& c : family) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  Md5 md5;
  md5.Update(family.data(), family.size());
  uint8_t digest[Md5::kDigestLength];
  md5.Final(digest);
  char hex[2 * Md5::kDigestLength + 1];
  for (size_t i = 0; i < Md5::kDigestLength; i++) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return hex;
}

namespace {

// The folder of the journals: below the common program files, where
// ordinary users may neither make nor change anything.
std::string JournalFolder() {
  using GetFolderPath = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPSTR);
  char path[MAX_PATH] = "";
  Library shell(LoadSystemLibrary("SHFolder.dll"));
  if (!shell) shell.reset(LoadSystemLibrary("Shell32.dll"));
  auto get = SystemFunction<GetFolderPath>(shell.get(), "SHGetFolderPathA");
  std::string common;
  if (get && SUCCEEDED(get(nullptr, kCsidlProgramFilesCommon, nullptr, 0, path)) && path[0]) {
    common = path;
  } else {
    common = std::string(VariableOr("ProgramFiles", "C:\\Program Files")) + "\\Common Files";
  }
  return common + "\\" + kFolderName;
}

std::string JournalPath(const std::string& id) {
  return JournalFolder() + "\\" + id + ".journal";
}

HANDLE AsHandle(void* file) {
  return static_cast<HANDLE>(file);
}

}  // namespace

std::vector<std::string> JournalIds() {
  std::vector<std::string> ids;
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA((JournalFolder() + "\\*.journal").c_str(), &found);
  for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileA(find, &found)) {
    const std::string name = found.cFileName;
    if (name.size() == 32 + 8 && !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ids.push_back(name.substr(0, 32));
  }
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
  return ids;
}

bool TakeProductLock(const std::string& id) {
  if (lock) return true;
  // In the machine's namespace: runs in other sessions count too.
  const std::string name = "Global\\MERIDOX Installer " + id;
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
  if (!mutex) mutex = CreateMutexA(nullptr, FALSE, name.substr(7).c_str());
  if (!mutex) return false;
  // A run that died holding it left it abandoned: it is this run's now.
  const DWORD got = WaitForSingleObject(mutex, 0);
  if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) {
    CloseHandle(mutex);
    return false;
  }
  lock = mutex;
  return true;
}

void ReleaseProductLock() {
  if (!lock) return;
  ReleaseMutex(lock);
  CloseHandle(lock);
  lock = nullptr;
}

bool HoldsProductLock() {
  return lock != nullptr;
}

std::string JournalFile::Path() const {
  return JournalPath(id_);
}

std::string JournalFile::Folder() {
  return JournalFolder();
}

JournalFile::~JournalFile() {
  if (file_) CloseHandle(AsHandle(file_));
}

bool JournalFile::IsOpen() const {
  return file_ != nullptr;
}

bool JournalFile::Find(std::vector<std::string>& lines) const {
  lines.clear();
  const std::string path = JournalPath(id_);
  // Never through a link: the folder is the system's and ours alone.
  if (is_link(JournalFolder().c_str()) || is_link(path.c_str())) return false;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::string text;
  char buffer[16384];
  DWORD got;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(file);
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return true;
}

bool JournalFile::Create() {
  const std::string folder = JournalFolder();
  const std::string path = JournalPath(id_);
  // Another product's run may remove the folder as its journal goes: made
  // again and tried again.
  for (int attempt = 0; attempt < 3 && !file_; attempt++) {
    if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    if (is_link(folder.c_str())) {
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) file_ = file;
    else if (GetLastError() != ERROR_PATH_NOT_FOUND) return false;
  }
  return file_ != nullptr;
}

bool JournalFile::Sync() {
  if (!file_) return false;
  if (pending_.empty()) return true;
  DWORD written = 0;
  const bool ok = WriteFile(AsHandle(file_), pending_.data(), static_cast<DWORD>(pending_.size()), &written,
                            nullptr) &&
                  written == pending_.size() && FlushFileBuffers(AsHandle(file_));
  pending_.clear();
  return ok;
}

void JournalFile::Close() {
  if (file_) CloseHandle(AsHandle(file_));
  file_ = nullptr;
  pending_.clear();
}

void JournalFile::Delete() {
  Close();
  DeleteFileA(JournalPath(id_).c_str());
  // The folder goes with the last journal; another product's keeps it.
  RemoveDirectoryA(JournalFolder().c_str());
}
