// The system's only road to the registry: whole operations that open a key,
// do one thing and close it, and report the Windows error code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Vec;

// Root codes.
enum RegRoot {
  kRegClassesRoot = 1,
  kRegCurrentConfig = 2,
  kRegCurrentUser = 3,
  kRegLocalMachine = 4,
};

// The result of a string read. `data` belongs to the caller (free).
struct RegData {
  char* data;       // null when the read failed
  uint32_t length;  // bytes of data, terminator included; 0 on failure
  long error;       // Windows error code, 0 on success
};

// The result of a listing. `names` (a Vec of new strings) belongs to the
// caller, also when the key could not be opened.
struct RegSubkeyList {
  int root;
  const char* key;  // the caller's own pointer
  Vec* names;
  uint32_t count;
  long error;  // 0 when the listing ran to its end
};

constexpr uint32_t kRegStringLimit = 2048;    // bytes of a string value read
constexpr uint32_t kRegExpandedLimit = 4100;  // characters after expansion
constexpr uint32_t kRegSubkeyNameLimit = 127;

#ifdef _WIN32
#include <windows.h>
HKEY reg_root_key(int root);
#endif
long reg_get_dword(int root, const char* key, const char* name, uint32_t* value);
RegData reg_get_string(int root, const char* key, const char* name);
// A REG_SZ value of at most `limit` bytes as stored (no more than
// kRegStringLimit): any other type, an expandable string among them, gives
// ERROR_BAD_ARGUMENTS and a longer value ERROR_MORE_DATA.
RegData reg_get_plain_string(int root, const char* key, const char* name, uint32_t limit);
// `name_limit` is the longest sub-key name that the listing takes; a longer
// one ends it early with ERROR_MORE_DATA.
RegSubkeyList reg_list_subkeys(int root, const char* key,
                               uint32_t name_limit = kRegSubkeyNameLimit);
// Frees the names of a listing and their Vec.
void reg_free_subkeys(RegSubkeyList& list);
long reg_set_dword(int root, const char* key, const char* name, uint32_t value);
long reg_set_string(int root, const char* key, const char* name, const char* text);
long reg_delete_tree(int root, const char* key);
long reg_delete_value(int root, const char* key, const char* name);

// Owning reads: the value is set only when the read succeeds and left as it
// was otherwise, so that a caller's default stands; the result is the
// Windows error code (0 on success), as the reads above give it.
long reg_read(int root, const char* key, const char* name, std::string& value);
long reg_read(int root, const char* key, const char* name, uint32_t& value);
// The names of the sub-keys of `key` (empty when it cannot be opened);
// `error` as reg_list_subkeys gives it.
std::vector<std::string> reg_subkeys(int root, const char* key, long* error = nullptr,
                                     uint32_t name_limit = kRegSubkeyNameLimit);

// The names of the values of `key` (empty when it cannot be opened).
std::vector<std::string> reg_value_names(int root, const char* key);

// A value as it is stored: its type and bytes.
struct RegRaw {
  uint32_t type = 0;
  std::string data;
};
long reg_get_raw(int root, const char* key, const char* name, RegRaw& value);
long reg_set_raw(int root, const char* key, const char* name, const RegRaw& value);
bool reg_key_exists(int root, const char* key);
// True when the key exists and holds neither values nor sub-keys.
bool reg_key_empty(int root, const char* key);
