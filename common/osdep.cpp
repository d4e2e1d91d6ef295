#include "common/osdep.h"

#include <sys/stat.h>
#include <cerrno>
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

int is_full_path(const char* path) {
  const bool drive = ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                     path[1] == ':' && path[2] == '\\';
  const bool share = path[0] == '\\' && path[1] == '\\' && path[2] && path[2] != '\\';
  return drive || share ? 1 : 0;
}

int is_plain_path(const char* path) {
  if (!is_full_path(path) || (path[0] == '\\' && (path[2] == '?' || path[2] == '.'))) return 0;
  // After the root, names between backslashes: none empty, none ending in a
  // dot or a space (".", ".." and what the system shortens to them), no
  // "/" and no ":" (a stream).
  const char* p = path[0] == '\\' ? path + 2 : path + 3;
  for (const char* name = p;; p++) {
    if (*p == '\\' || *p == '\0') {
      if (p == name) return *p == '\0' && p > path + 3 && p[-1] == '\\' ? 1 : 0;
      if (p[-1] == '.' || p[-1] == ' ') return 0;
      if (*p == '\0') return 1;
      name = p + 1;
    } else if (*p == '/' || *p == ':') {
      return 0;
    }
  }
}

const char* windows_name_problem(const char* name) {
  if (!*name) return "is empty";
  for (const char* p = name; *p; p++) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || strchr("<>:\"/\\|?*", c)) {
      return "holds a character Windows does not allow in a name";
    }
  }
  const char last = name[strlen(name) - 1];
  if (last == '.' || last == ' ') return "ends in a dot or a space, which Windows drops";
  // The stem before the first dot, without the spaces that end it, is what
  // the system compares with its devices' names.
  size_t n = strcspn(name, ".");
  while (n > 0 && name[n - 1] == ' ') n--;
  char stem[8] = "";
  if (n >= sizeof stem) return nullptr;
  for (size_t i = 0; i < n; i++) {
    const char c = name[i];
    stem[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  stem[n] = '\0';
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
  for (const char* device : kDevices) {
    if (strcmp(stem, device) == 0) return "is a device name on Windows";
  }
  // COM and LPT with a digit, or with the code page's superscript 1, 2 or 3.
  const unsigned char digit = static_cast<unsigned char>(stem[3]);
  if (n == 4 && (strncmp(stem, "COM", 3) == 0 || strncmp(stem, "LPT", 3) == 0) &&
      ((digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3)) {
    return "is a device name on Windows";
  }
  return nullptr;
}

int file_exists(const char* path) {
  StatBuf st;
  return stat_path(path, &st) == 0 ? 1 : 0;
}

int is_folder(const char* path) {
  StatBuf st;
  return stat_path(path, &st) == 0 && IS_DIR(st.st_mode) ? 1 : 0;
}

#ifdef _WIN32
#include <windows.h>

int is_link(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? 1 : 0;
}

int errno_of(unsigned long error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return ENOENT;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_ACCESS_DENIED:
    case ERROR_CURRENT_DIRECTORY:
    case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_CANNOT_MAKE:
    case ERROR_FAIL_I24:
    case ERROR_DRIVE_LOCKED:
    case ERROR_SEEK_ON_DEVICE:
    case ERROR_NOT_LOCKED:
    case ERROR_LOCK_FAILED:
      return EACCES;
    default:
      // Write-protected media, sharing and lock violations.
      return error >= ERROR_WRITE_PROTECT && error <= ERROR_SHARING_BUFFER_EXCEEDED ? EACCES
                                                                                   : EINVAL;
  }
}

#else
int is_link(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISLNK(st.st_mode) ? 1 : 0;
}
#endif
