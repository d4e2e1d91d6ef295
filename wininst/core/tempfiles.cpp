#include "wininst/core/tempfiles.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "common/alloc.h"
#include "common/osdep.h"
#include "common/vector.h"
#include "wininst/core/messages.h"
#include "wininst/core/variables.h"

Vec* TempFiles;

void CreateTempFolder() {
  if (!TempFiles) TempFiles = vec_new();
  const char* base = getenv("TEMP");
  if (!base) base = getenv("TMP");
  char* fallback = nullptr;
  if (!base) {
    const char* windir = getenv("windir");
    base = fallback = windir ? xsprintf("%s\\temp", windir) : xstrdup("C:");
  }
  char* path = nullptr;
  for (int attempt = 0; attempt < 10; attempt++) {
    free(path);
    path = xsprintf("%s\\qz%d", base, rand() & 0xFFF);
    if (!file_exists(path)) break;
  }
  free(fallback);
  if (!CreateDirectoryA(path, nullptr)) Fatal("Failed to create folder %s", path);
  vec_add(TempFiles, const_cast<char*>(SetVariable("TmpDir", path)));
  free(path);
}

void RecordTempFile(const char* path) {
  if (!TempFiles) TempFiles = vec_new();
  vec_add(TempFiles, xstrdup(path));
}

void DeleteTemporaryFiles() {
  if (!TempFiles) return;
  for (uint32_t i = vec_count(TempFiles); i-- > 0;) {
    const char* path = vec_at<char>(TempFiles, i);
    if (is_folder(path)) {
      RemoveDirectoryA(path);
    } else {
      DeleteFileA(path);
    }
  }
  // A second call (a fatal error inside the clean-up's caller) has nothing left to do.
  vec_clear(TempFiles);
}
