#include "common/registry.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <utility>
#include <string>

#include "common/alloc.h"
#include "common/handle.h"
#include "common/vector.h"

namespace {

using Key = Handle<HKEY, RegCloseKey>;

long OpenKey(int root, const char* key, REGSAM access, Key& out) {
  return RegOpenKeyExA(reg_root_key(root), key, 0, access, out.put());
}

long CreateKey(int root, const char* key, Key& out) {
  return RegCreateKeyExA(reg_root_key(root), key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                         nullptr, out.put(), nullptr);
}

RegData Failed(long error) {
  return RegData{nullptr, 0, error};
}

// Queries a value into `buf`, which has room for *size bytes.
long QueryValue(int root, const char* key, const char* name, char* buf, DWORD* type, DWORD* size) {
  Key k;
  if (long e = OpenKey(root, key, KEY_READ, k)) return e;
  return RegQueryValueExA(k.get(), name, nullptr, type, reinterpret_cast<BYTE*>(buf), size);
}

// The bytes of a string as stored; the block has one zero byte more, so that
// a value written without a terminator is still a text.
RegData Stored(const char* buf, DWORD size) {
  char* data = static_cast<char*>(xmalloc(size + 1));
  memcpy(data, buf, size);
  return RegData{data, size, 0};
}

}  // namespace

HKEY reg_root_key(int root) {
  switch (root) {
    case kRegCurrentConfig:
      return HKEY_CURRENT_CONFIG;
    case kRegCurrentUser:
      return HKEY_CURRENT_USER;
    case kRegLocalMachine:
      return HKEY_LOCAL_MACHINE;
    default:
      // Code 1 and every unknown code, the manifest's "HKPP" among them.
      return HKEY_CLASSES_ROOT;
  }
}

long reg_get_dword(int root, const char* key, const char* name, uint32_t* value) {
  Key k;
  if (long e = OpenKey(root, key, KEY_READ, k)) return e;
  // Read into a local so that a value of another type never reaches the
  // caller's variable: callers keep their own default when the read fails.
  DWORD data = 0, type = 0, size = sizeof data;
  if (long e =
          RegQueryValueExA(k.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size)) {
    return e;
  }
  if (type != REG_DWORD) return ERROR_BAD_ARGUMENTS;
  *value = data;
  return 0;
}

RegData reg_get_string(int root, const char* key, const char* name) {
  // One spare zero byte: a value stored without its terminator still ends
  // inside the buffer when it is expanded.
  char buf[kRegStringLimit + 1] = {};
  DWORD type = 0, size = kRegStringLimit;
  if (long e = QueryValue(root, key, name, buf, &type, &size)) return Failed(e);
  if (type == REG_EXPAND_SZ) {
    char expanded[kRegExpandedLimit];
    DWORD n = ExpandEnvironmentStringsA(buf, expanded, kRegExpandedLimit);
    if (n == 0 || n > kRegExpandedLimit) return Failed(ERROR_MORE_DATA);
    char* data = static_cast<char*>(xmalloc(n + 1));
    memcpy(data, expanded, n);
    return RegData{data, n, 0};
  }
  if (type == REG_SZ) return Stored(buf, size);
  return Failed(ERROR_BAD_ARGUMENTS);
}

RegData reg_get_plain_string(int root, const char* key, const char* name, uint32_t limit) {
  char buf[kRegStringLimit + 1] = {};
  DWORD type = 0, size = limit < kRegStringLimit ? limit : kRegStringLimit;
  if (long e = QueryValue(root, key, name, buf, &type, &size)) return Failed(e);
  if (type != REG_SZ) return Failed(ERROR_BAD_ARGUMENTS);
  return Stored(buf, size);
}

RegSubkeyList reg_list_subkeys(int root, const char* key, uint32_t name_limit) {
  RegSubkeyList list{root, key, vec_new(), 0, 0};
  Key k;
  if ((list.error = OpenKey(root, key, KEY_ENUMERATE_SUB_KEYS, k))) return list;
  // The longest name that fits and its terminator.
  std::string name(name_limit + 1, '\0');
  for (DWORD index = 0;; index++) {
    DWORD len = name_limit + 1;
    FILETIME written;
    list.error =
        RegEnumKeyExA(k.get(), index, name.data(), &len, nullptr, nullptr, nullptr, &written);
    if (list.error != ERROR_SUCCESS) break;
    vec_add(list.names, xstrdup(name.c_str()));
    list.count++;
  }
  if (list.error == ERROR_NO_MORE_ITEMS) list.error = 0;
  return list;
}

void reg_free_subkeys(RegSubkeyList& list) {
  for (uint32_t i = 0; i < vec_count(list.names); i++) free(vec_get(list.names, i));
  vec_free(list.names);
  list.names = nullptr;
  list.count = 0;
}

long reg_set_dword(int root, const char* key, const char* name, uint32_t value) {
  Key k;
  if (long e = CreateKey(root, key, k)) return e;
  DWORD data = value;
  return RegSetValueExA(k.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                        sizeof data);
}

long reg_set_string(int root, const char* key, const char* name, const char* text) {
  Key k;
  if (long e = CreateKey(root, key, k)) return e;
  return RegSetValueExA(k.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>(strlen(text) + 1));
}

long reg_delete_tree(int root, const char* key) {
  // The sub-keys go first: RegDeleteKeyA refuses a key that still has some.
  // What happens to them, and whether the listing ran to its end, is left to
  // the final deletion to tell.
  RegSubkeyList list = reg_list_subkeys(root, key);
  for (uint32_t i = 0; i < vec_count(list.names); i++) {
    std::string child = std::string(key) + "\\" + vec_at<char>(list.names, i);
    reg_delete_tree(root, child.c_str());
  }
  reg_free_subkeys(list);
  return RegDeleteKeyA(reg_root_key(root), key);
}

long reg_delete_value(int root, const char* key, const char* name) {
  Key k;
  if (long e = OpenKey(root, key, KEY_WRITE, k)) return e;
  return RegDeleteValueA(k.get(), name);
}

long reg_read(int root, const char* key, const char* name, std::string& value) {
  RegData d = reg_get_string(root, key, name);
  if (d.error == 0) value = d.data;
  free(d.data);
  return d.error;
}

long reg_read(int root, const char* key, const char* name, uint32_t& value) {
  return reg_get_dword(root, key, name, &value);
}

std::vector<std::string> reg_subkeys(int root, const char* key, long* error, uint32_t name_limit) {
  RegSubkeyList list = reg_list_subkeys(root, key, name_limit);
  std::vector<std::string> names;
  for (uint32_t i = 0; i < list.count; i++) names.emplace_back(vec_at<char>(list.names, i));
  if (error) *error = list.error;
  reg_free_subkeys(list);
  return names;
}

std::vector<std::string> reg_value_names(int root, const char* key) {
  std::vector<std::string> names;
  Key k;
  if (OpenKey(root, key, KEY_QUERY_VALUE, k)) return names;
  for (DWORD i = 0;; i++) {
    char name[16384];
    DWORD length = sizeof name;
    if (RegEnumValueA(k.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, length);
  }
  return names;
}

long reg_get_raw(int root, const char* key, const char* name, RegRaw& value) {
  Key k;
  if (long e = OpenKey(root, key, KEY_QUERY_VALUE, k)) return e;
  DWORD type = 0, size = 0;
  if (long e = RegQueryValueExA(k.get(), name, nullptr, &type, nullptr, &size)) return e;
  std::string data(size, '\0');
  if (long e = RegQueryValueExA(k.get(), name, nullptr, &type,
                                reinterpret_cast<BYTE*>(data.data()), &size)) {
    return e;
  }
  data.resize(size);
  value.type = type;
  value.data = std::move(data);
  return 0;
}

long reg_set_raw(int root, const char* key, const char* name, const RegRaw& value) {
  Key k;
  if (long e = CreateKey(root, key, k)) return e;
  return RegSetValueExA(k.get(), name, 0, value.type,
                        reinterpret_cast<const BYTE*>(value.data.data()),
                        static_cast<DWORD>(value.data.size()));
}

bool reg_key_exists(int root, const char* key) {
  Key k;
  return OpenKey(root, key, KEY_QUERY_VALUE, k) == 0;
}

bool reg_key_empty(int root, const char* key) {
  Key k;
  if (OpenKey(root, key, KEY_QUERY_VALUE, k) != 0) return false;
  DWORD subkeys = 0, values = 0;
  return RegQueryInfoKeyA(k.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                          nullptr, nullptr, nullptr, nullptr) == 0 &&
         subkeys == 0 && values == 0;
}
