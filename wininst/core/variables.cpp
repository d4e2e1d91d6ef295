#include "wininst/core/variables.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "common/alloc.h"
#include "common/compat.h"
#include "common/hash.h"
#include "common/messages.h"

namespace {

constexpr uint32_t kBuckets = 40;

HashTable* store;

uint32_t NameHash(const void* key) {
  uint32_t sum = 0;
  for (const char* p = static_cast<const char*>(key); *p; p++) {
    char c = (*p >= 'a' && *p <= 'z') ? static_cast<char>(*p - 'a' + 'A') : *p;
    sum += static_cast<uint32_t>(static_cast<int>(static_cast<signed char>(c)));
  }
  return sum;
}

int NameCompare(const void* a, const void* b) {
  return _stricmp(static_cast<const char*>(a), static_cast<const char*>(b));
}

void InitialProgramFiles();

HashTable* Store() {
  if (!store) {
    store = hash_new(kBuckets, NameHash, NameCompare);
    InitialProgramFiles();
  }
  return store;
}

void InitialProgramFiles() {
  const char* env = getenv("ProgramFiles");
  if (env && *env) {
    SetVariable("ProgramFiles", env);
    return;
  }
  const char* drive = getenv("SystemDrive");
  if (drive && isalpha(static_cast<unsigned char>(drive[0])) && drive[1] == ':') {
    char buf[32] = {drive[0], ':'};
    strcat(buf, "\\Program Files");
    SetVariable("ProgramFiles", buf);
    return;
  }
  SetVariable("ProgramFiles", "C:\\Program Files");
}

void DeriveFullVersion() {
  const char* version = GetVariable("Version");
  const char* patch = GetVariable("PatchLevel");
  if (!patch || _stricmp(patch, "PL0") == 0) {
    // Without a version there is nothing to derive yet; the version's own
    // assignment derives it later, whatever order the manifest uses.
    if (version) {
      SetVariable("FullVersion", version);
    } else {
      ClearVariable("FullVersion");
    }
    return;
  }
  char* full = ExpandVariables("[Version][PatchLevel]");
  SetVariable("FullVersion", full);
  free(full);
}

}  // namespace

const char* SetVariable(const char* name, const char* value) {
  if (!value) Fatal("Bad call to SetVariable: %s", name);
  HashTable* t = Store();
  // Old keys and values are never freed: texts handed out stay valid.
  hash_remove(t, name);
  char* key = xstrdup(name);
  char* copy = xstrdup(value);
  hash_insert(t, key, copy);
  if (_stricmp(name, "Version") == 0 || _stricmp(name, "PatchLevel") == 0) DeriveFullVersion();
  return copy;
}

const char* GetVariable(const char* name) {
  return static_cast<const char*>(hash_lookup(Store(), name));
}

const char* VariableOr(const char* name, const char* fallback) {
  const char* value = GetVariable(name);
  return value ? value : fallback;
}

void ClearVariable(const char* name) {
  if (store) hash_remove(store, name);
}

void SetFlag(const char* name, bool on) { SetVariable(name, on ? "yes" : "no"); }

bool IsTrue(const char* name) {
  const char* v = GetVariable(name);
  return v && (_stricmp(v, "yes") == 0 || _stricmp(v, "true") == 0);
}

bool VariableEquals(const char* name, const char* text) {
  const char* v = GetVariable(name);
  return v && _stricmp(v, text) == 0;
}

char* ExpandVariables(const char* text) {
  char out[kMaxExpanded + 1];
  size_t len = 0;
  const char* p = text;
  while (*p && len < kMaxExpanded) {
    if (*p != '[') {
      out[len++] = *p++;
      continue;
    }
    const char* close = strchr(p + 1, ']');
    if (!close) break;  // an unclosed reference ends the result
    size_t name_len = static_cast<size_t>(close - (p + 1));
    if (name_len <= kMaxVariableName) {
      char name[kMaxVariableName + 1];
      memcpy(name, p + 1, name_len);
      name[name_len] = '\0';
      if (const char* value = GetVariable(name)) {
        size_t vl = strlen(value);
        // A value goes in whole or not at all.
        if (vl < sizeof out - len) {
          memcpy(out + len, value, vl);
          len += vl;
        }
      }
    }
    p = close + 1;
  }
  out[len] = '\0';
  return xstrdup(out);
}

std::string ExpandedText(const char* text) {
  char* e = ExpandVariables(text);
  std::string s = e;
  free(e);
  return s;
}

const char* ShortVersion() {
  static char buf[256];
  static bool fixed;
  if (!fixed) {
    const char* v = GetVariable("Version");
    if (!v) return "";
    strncpy(buf, v, sizeof buf - 1);
    if (char* pl = strstr(buf, "PL")) *pl = '\0';
    fixed = true;
  }
  return buf;
}

int CompareVersions(const char* a, const char* b) {
  for (;;) {
    // A part's number (none counts as 0; one past the largest number as the
    // largest), then the text after it up to the part's end, byte by byte,
    // the end (a dot or the text's end) before any byte.
    char* x = const_cast<char*>(a);
    char* y = const_cast<char*>(b);
    const unsigned long m = isdigit(static_cast<unsigned char>(*a)) ? strtoul(a, &x, 10) : 0;
    const unsigned long n = isdigit(static_cast<unsigned char>(*b)) ? strtoul(b, &y, 10) : 0;
    if (m != n) return m < n ? -1 : 1;
    for (;; x++, y++) {
      const unsigned char p = *x == '.' ? 0 : *x, q = *y == '.' ? 0 : *y;
      if (p != q) return p < q ? -1 : 1;
      if (!p) break;
    }
    if (!*x && !*y) return 0;
    a = *x ? x + 1 : x;
    b = *y ? y + 1 : y;
  }
}

char* NextToken(char* text, const char* delimiters, char** pos) {
  char* p = text ? text : *pos;
  if (!p) return nullptr;
  p += strspn(p, delimiters);
  if (!*p) {
    *pos = nullptr;
    return nullptr;
  }
  char* end = p + strcspn(p, delimiters);
  if (*end) {
    *end = '\0';
    *pos = end + 1;
  } else {
    *pos = nullptr;
  }
  return p;
}
