// The script reader of the UI driver: a strict JSON parser whose strings are
// 8-bit code-page bytes, and the typed access to a step's fields with which
// the step table checks a whole script before anything runs. The script
// language is documented at the top of driver.cpp.
#pragma once

#include "tests/driver/base.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ui {

struct Value {
  enum class Kind { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Value> items;
  std::vector<std::pair<std::string, Value>> members;

  const Value* find(std::string_view key) const {
    for (const auto& [k, v] : members)
      if (k == key) return &v;
    return nullptr;
  }
};

// The whole text as one JSON value; fails at the first byte that is not JSON.
Value parse_json(std::string_view in);

// Button and Message take a number or a name from kButtonNames / kMessageNames;
// Strings is an object whose members are all strings.
enum class Type { Int, Str, Bool, Button, Message, Strings };

struct Field {
  std::string_view name;
  Type type;
  bool required = false;
  long long lo = INT32_MIN, hi = UINT32_MAX;  // for numbers
};

long long as_int(const Value& v, std::string_view key);
const Value& need(const Value& step, std::string_view key);
// The value of key within [lo, hi], or fallback when the step has none.
long long int_of(const Value& step, std::string_view key, long long fallback, long long lo,
                 long long hi);
// The same for a key the step must have.
long long int_of(const Value& step, std::string_view key, long long lo, long long hi);
std::string str_of(const Value& step, std::string_view key, std::string fallback = {});
bool flag_of(const Value& step, std::string_view key);

struct NamedId {
  std::string_view name;
  UINT id;
};

inline constexpr NamedId kButtonNames[] = {
    {"ok", IDOK},         {"cancel", IDCANCEL}, {"abort", IDABORT}, {"retry", IDRETRY},
    {"ignore", IDIGNORE}, {"yes", IDYES},       {"no", IDNO},       {"close", IDCLOSE},
    {"help", IDHELP},     {"tryagain", 10},     {"continue", 11},
};

inline constexpr NamedId kMessageNames[] = {
    {"WM_CLOSE", WM_CLOSE},
    {"WM_COMMAND", WM_COMMAND},
    {"WM_KEYDOWN", WM_KEYDOWN},
    {"WM_KEYUP", WM_KEYUP},
    {"WM_CHAR", WM_CHAR},
    {"WM_MOUSEMOVE", WM_MOUSEMOVE},
    {"WM_LBUTTONDOWN", WM_LBUTTONDOWN},
    {"WM_LBUTTONUP", WM_LBUTTONUP},
    {"WM_RBUTTONDOWN", WM_RBUTTONDOWN},
    {"WM_RBUTTONUP", WM_RBUTTONUP},
    {"WM_MOUSELEAVE", WM_MOUSELEAVE},
    {"WM_SYSCOMMAND", WM_SYSCOMMAND},
    {"WM_NULL", WM_NULL},
};

UINT id_of(const Value& v, std::string_view key, std::span<const NamedId> names);

}  // namespace ui
