#include "wininst/core/tempfiles.h"

#include <windows.h>
#include <ntsecapi.h>

#include <cstdio>
#include <cstdlib>

#include <string>

#include "common/alloc.h"
#include "common/handle.h"
#include "common/osdep.h"
#include "common/vector.h"
#include "wininst/core/rights.h"
#include "wininst/core/variables.h"

namespace {
// Paths to delete when the run ends, the last recorded first: the temporary
// folder is the first entry, so files go before it.
Vec* temp_files;
}  // namespace

namespace {

// Tries this many names before it gives up: each is new only when nobody
// made a folder of that name first.
constexpr int kNameAttempts = 100;

// The user's temporary folder, where the run's folders are made.
std::string TempBase() {
  if (const char* base = getenv("TEMP")) return base;
  if (const char* base = getenv("TMP")) return base;
  if (const char* windir = getenv("windir")) return std::string(windir) + "\\temp";
  return "C:";
}

// 64 bits from the system's random source: a name nobody can know before.
bool RandomNumber(uint64_t& number) {
  return RtlGenRandom(&number, sizeof number) != FALSE;
}

}  // namespace

std::string CreatePrivateFolder(std::string* tried) {
  const std::string base = TempBase();
  std::string path = base;
  for (int attempt = 0; attempt < kNameAttempts; attempt++) {
    uint64_t number;
    if (!RandomNumber(number)) break;
    path = base + "\\qz" + Decimal(number);
    // Made new, never taken over: a folder of that name belongs to someone else.
    // An elevated run keeps the user's own programs out: nothing of theirs may
    // be planted in it or swapped for what the run put there.
    if (CreatePrivateFolderAt(path.c_str())) return path;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  if (tried) *tried = path;
  return {};
}

bool CreateTempFolder() {
  if (!temp_files) temp_files = vec_new();
  const std::string path = CreatePrivateFolder();
  if (path.empty()) return false;
  vec_add(temp_files, const_cast<char*>(SetVariable("TmpDir", path.c_str())));
  return true;
}

void RecordTempFile(const char* path) {
  if (!temp_files) temp_files = vec_new();
  vec_add(temp_files, xstrdup(path));
}

void DeleteTemporaryFiles() {
  if (!temp_files) return;
  for (uint32_t i = vec_count(temp_files); i-- > 0;) {
    const char* path = vec_at<char>(temp_files, i);
    if (is_folder(path)) {
      RemoveDirectoryA(path);
    } else {
      DeleteFileA(path);
    }
  }
  // A second call (a fatal error inside the clean-up's caller) has nothing left to do.
  vec_clear(temp_files);
}

Vec* TempFiles() {
  return temp_files;
}
