#include "common/osdep.h"

#include <sys/stat.h>
#include <cstring>
#include <initializer_list>

#include "common/alloc.h"

char* path_join(const char* folder, const char* name) {
  size_t lf = strlen(folder);
  if (lf == 0) return nullptr;
  if (folder[lf - 1] == '\\') lf--;
  if (name[0] == '\\') name++;
  size_t ln = strlen(name);
  char* r = static_cast<char*>(xmalloc(static_cast<uint32_t>(lf + 1 + ln + 1)));
  memcpy(r, folder, lf);
  r[lf] = '\\';
  memcpy(r + lf + 1, name, ln);
  return r;
}

const char* path_tail(const char* path) {
  if (!path) return nullptr;
  for (char sep : {'\\', '/', ':'}) {
    if (const char* p = strrchr(path, sep)) return p + 1;
  }
  return path;
}

char* path_tail(char* path) {
  return const_cast<char*>(path_tail(static_cast<const char*>(path)));
}

#ifdef _WIN32
using StatBuf = struct _stat;
static int stat_path(const char* path, StatBuf* st) { return _stat(path, st); }
#define IS_DIR(m) (((m) & _S_IFMT) == _S_IFDIR)
#else
using StatBuf = struct stat;
static int stat_path(const char* path, StatBuf* st) { return stat(path, st); }
#define IS_DIR(m) S_ISDIR(m)
#endif

int file_exists(const char* path) {
  StatBuf st;
  return stat_path(path, &st) == 0 ? 1 : 0;
}

int is_folder(const char* path) {
  StatBuf st;
  return stat_path(path, &st) == 0 && IS_DIR(st.st_mode) ? 1 : 0;
}
