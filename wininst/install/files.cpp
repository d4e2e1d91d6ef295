#include "wininst/install/files.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/alloc.h"
#include "common/compat.h"
#include "common/handle.h"
#include "common/osdep.h"
#include "common/registry.h"
#include "common/vector.h"
#include "wininst/core/messages.h"
#include "wininst/core/product.h"
#include "wininst/core/variables.h"
#include "wininst/install/archive.h"

namespace {

constexpr int kFolderPathLimit = 4096;

RunBuffer<uint8_t, archive::kCopyChunk> copy_buffer;

// The folder journal: its key while it is kept, and the number of entries.
std::string journal_key;
uint32_t journal_entries;

bool Recorded(const char* folder) {
  for (uint32_t i = 0; i < vec_count(CreatedFolders); i++) {
    if (_stricmp(vec_at<char>(CreatedFolders, i), folder) == 0) return true;
  }
  return false;
}

}  // namespace

void BeginFolderJournal() {
  journal_key = std::string(ProductKey()) + "\\Installing";
  for (journal_entries = 0;; journal_entries++) {
    RegData folder = reg_get_string(kRegLocalMachine, journal_key.c_str(),
                                    std::to_string(journal_entries).c_str());
    if (folder.error != 0) break;
    if (is_folder(folder.data) && !Recorded(folder.data)) {
      vec_add(CreatedFolders, folder.data);
    } else {
      free(folder.data);
    }
  }
}

void EndFolderJournal() {
  if (journal_key.empty()) return;
  reg_delete_tree(kRegLocalMachine, journal_key.c_str());
  journal_key.clear();
}

bool CreateFolderTree(const char* path) {
  char copy[kFolderPathLimit];
  snprintf(copy, sizeof copy, "%s", path);
  // A trailing backslash would make an existing folder look missing.
  for (size_t n = strlen(copy); n > 3 && copy[n - 1] == '\\'; n--) copy[n - 1] = '\0';

  if (file_exists(copy)) {
    if (is_folder(copy)) return false;
    Fatal("Folder %s exists but is not a folder!", copy);
  }
  if (char* slash = strrchr(copy, '\\'); slash && slash - copy > 2) {
    *slash = '\0';
    CreateFolderTree(copy);
    *slash = '\\';
  }
  if (!CreateDirectoryA(copy, nullptr)) Fatal("Failed to create folder %s", copy);
  vec_add(CreatedFolders, xstrdup(copy));
  if (!journal_key.empty()) {
    reg_set_string(kRegLocalMachine, journal_key.c_str(), std::to_string(journal_entries++).c_str(),
                   copy);
  }
  return true;
}

void CopyFileInto(const char* source, const char* destination, uint32_t size) {
  FileHandle in(fopen(source, "rb"));
  if (!in) Fatal("Can't open file: %s\n%s", source, strerror(errno));
  if (!OpenOutput(destination)) Fatal("Can't create file: %s\n%s", destination, strerror(errno));
  vec_add(InstalledFiles, xstrdup(destination));
  CountProgress(archive::kCopyChunk);

  for (uint32_t remaining = size; remaining > 0;) {
    size_t chunk = remaining < copy_buffer.size() ? remaining : copy_buffer.size();
    if (fread(copy_buffer.get(), 1, chunk, in.get()) != chunk) {
      AbandonOutput();
      Fatal("short read on %s", source);
    }
    if (!WriteOutput(copy_buffer.get(), static_cast<uint32_t>(chunk))) {
      AbandonOutput();
      Fatal("Write error on %s", destination);
    }
    remaining -= static_cast<uint32_t>(chunk);
    CountProgress(chunk);
  }
  if (!CloseOutput()) Fatal("Write error on %s", destination);
}

std::string ResourcesFolder() {
  const char* base = GetVariable("ResDir");
  if (!base || !*base) base = GetVariable("InstDir");
  return std::string(base ? base : "") + "\\resources";
}
