// The script reader; see script.h, and the top of driver.cpp for the script
// language.
#include "tests/driver/script.h"

#include <cmath>
#include <cstdlib>

namespace ui {

namespace {

class Parser {
 public:
  explicit Parser(std::string_view in) : in_(in) {}

  Value document() {
    Value v = value(0);
    skip_space();
    if (pos_ != in_.size()) error("unexpected text after the script object");
    return v;
  }

 private:
  static constexpr int kMaxDepth = 64;  // keeps a hostile file from exhausting the stack

  [[noreturn]] void error(const std::string& why) const {
    fail("script is not valid JSON at byte " + std::to_string(pos_) + ": " + why);
  }
  bool at_end() const { return pos_ >= in_.size(); }
  char peek() const { return at_end() ? '\0' : in_[pos_]; }
  bool digit() const { return !at_end() && in_[pos_] >= '0' && in_[pos_] <= '9'; }
  bool eat(char c) {
    if (peek() != c || at_end()) return false;
    ++pos_;
    return true;
  }
  void skip_space() {
    while (!at_end() &&
           (in_[pos_] == ' ' || in_[pos_] == '\t' || in_[pos_] == '\n' || in_[pos_] == '\r'))
      ++pos_;
  }
  void word(std::string_view w) {
    if (in_.substr(pos_, w.size()) != w) error("unknown literal");
    pos_ += w.size();
  }

  Value value(int depth) {
    if (depth > kMaxDepth) error("nested too deeply");
    skip_space();
    if (at_end()) error("unexpected end of input");
    Value v;
    const char c = in_[pos_];
    if (c == '{') {
      ++pos_;
      v.kind = Value::Kind::Object;
      skip_space();
      if (eat('}')) return v;
      for (;;) {
        skip_space();
        if (peek() != '"' || at_end()) error("expected a member name");
        std::string key = string();
        if (v.find(key)) error("duplicate member \"" + key + "\"");
        skip_space();
        if (!eat(':')) error("expected ':'");
        v.members.emplace_back(std::move(key), value(depth + 1));
        skip_space();
        if (eat(',')) continue;
        if (eat('}')) return v;
        error("expected ',' or '}'");
      }
    }
    if (c == '[') {
      ++pos_;
      v.kind = Value::Kind::Array;
      skip_space();
      if (eat(']')) return v;
      for (;;) {
        v.items.push_back(value(depth + 1));
        skip_space();
        if (eat(',')) continue;
        if (eat(']')) return v;
        error("expected ',' or ']'");
      }
    }
    if (c == '"') {
      v.kind = Value::Kind::String;
      v.text = string();
    } else if (c == 't') {
      word("true");
      v.kind = Value::Kind::Bool;
      v.boolean = true;
    } else if (c == 'f') {
      word("false");
      v.kind = Value::Kind::Bool;
    } else if (c == 'n') {
      word("null");
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      v.kind = Value::Kind::Number;
      v.number = number();
    } else {
      error(std::string("unexpected character '") + c + "'");
    }
    return v;
  }

  static int hex_digit(char h) {
    if (h >= '0' && h <= '9') return h - '0';
    if (h >= 'a' && h <= 'f') return h - 'a' + 10;
    if (h >= 'A' && h <= 'F') return h - 'A' + 10;
    return -1;
  }

  std::string string() {
    ++pos_;  // opening quote
    std::string out;
    for (;;) {
      if (at_end()) error("unterminated string");
      const auto c = static_cast<unsigned char>(in_[pos_++]);
      if (c == '"') return out;
      if (c < 0x20) error("control character inside a string (escape it)");
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (at_end()) error("unterminated escape");
      switch (in_[pos_++]) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          unsigned code = 0;
          for (int i = 0; i < 4; ++i) {
            const int d = at_end() ? -1 : hex_digit(in_[pos_]);
            if (d < 0) error("\\u needs four hex digits");
            code = code * 16 + static_cast<unsigned>(d);
            ++pos_;
          }
          if (code == 0) error("\\u0000: Windows strings end at NUL");
          if (code > 0xFF)
            error(
                "\\u escape above \\u00ff: strings are code-page bytes, "
                "write each byte as \\u00XX");
          out += static_cast<char>(code);
          break;
        }
        default:
          error("unknown escape");
      }
    }
  }

  double number() {
    const size_t start = pos_;
    eat('-');
    if (!eat('0')) {
      if (!digit()) error("bad number");
      while (digit()) ++pos_;
    }
    if (eat('.')) {
      if (!digit()) error("bad number");
      while (digit()) ++pos_;
    }
    if (peek() == 'e' || peek() == 'E') {
      ++pos_;
      if (!eat('+')) eat('-');
      if (!digit()) error("bad number");
      while (digit()) ++pos_;
    }
    const std::string digits(in_.substr(start, pos_ - start));
    return std::strtod(digits.c_str(), nullptr);
  }

  std::string_view in_;
  size_t pos_ = 0;
};

}  // namespace

Value parse_json(std::string_view in) {
  return Parser(in).document();
}

long long as_int(const Value& v, std::string_view key) {
  if (v.kind != Value::Kind::Number || v.number != std::floor(v.number) ||
      v.number < -2147483648.0 || v.number > 4294967295.0)
    fail("\"" + std::string(key) + "\" must be an integer between -2^31 and 2^32-1");
  return static_cast<long long>(v.number);
}

const Value& need(const Value& step, std::string_view key) {
  const Value* v = step.find(key);
  if (!v) fail("missing \"" + std::string(key) + "\"");
  return *v;
}

long long int_of(const Value& step, std::string_view key, long long fallback, long long lo,
                 long long hi) {
  const Value* v = step.find(key);
  if (!v) return fallback;
  const long long n = as_int(*v, key);
  if (n < lo || n > hi)
    fail("\"" + std::string(key) + "\" must be between " + std::to_string(lo) + " and " +
         std::to_string(hi));
  return n;
}

long long int_of(const Value& step, std::string_view key, long long lo, long long hi) {
  need(step, key);
  return int_of(step, key, 0, lo, hi);
}

std::string str_of(const Value& step, std::string_view key, std::string fallback) {
  const Value* v = step.find(key);
  return v ? v->text : fallback;
}

bool flag_of(const Value& step, std::string_view key) {
  const Value* v = step.find(key);
  return v && v->boolean;
}

UINT id_of(const Value& v, std::string_view key, std::span<const NamedId> names) {
  if (v.kind == Value::Kind::Number) return static_cast<UINT>(as_int(v, key));
  for (const auto& n : names)
    if (lstrcmpiA(std::string(n.name).c_str(), v.text.c_str()) == 0) return n.id;
  std::string known;
  for (const auto& n : names) known += (known.empty() ? "" : ", ") + std::string(n.name);
  fail("\"" + std::string(key) + "\": unknown name \"" + v.text + "\" (known: " + known + ")");
}

}  // namespace ui
