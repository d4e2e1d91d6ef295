// The record writer of the UI driver: JSON objects built member by member,
// and the output file that gets one record per line, flushed at once, so
// that a test can read what happened even after a crash. The records and
// their fields are documented at the top of driver.cpp.
#pragma once

#include "tests/driver/base.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ui {

// A JSON string of code-page bytes: control bytes and bytes >= 0x7F are
// written as \u00XX.
std::string quote(std::string_view s);

class Object {
 public:
  Object& str(std::string_view key, std::string_view v) { return raw(key, quote(v)); }
  Object& opt_str(std::string_view key, const std::optional<std::string>& v) {
    return raw(key, v ? quote(*v) : "null");
  }
  Object& num(std::string_view key, long long v) { return raw(key, std::to_string(v)); }
  Object& flag(std::string_view key, bool v) { return raw(key, v ? "true" : "false"); }
  Object& raw(std::string_view key, std::string_view json) {
    if (!body_.empty()) body_ += ',';
    body_ += quote(key);
    body_ += ':';
    body_ += json;
    return *this;
  }
  const std::string& members() const { return body_; }
  std::string json() const { return "{" + body_ + "}"; }

 private:
  std::string body_;
};

std::string json_list(const std::vector<std::string>& items);
std::string json_rect(const RECT& r);
long long handle_number(HWND h);

class Output {
 public:
  ~Output() {
    if (file_) std::fclose(file_);
  }
  bool open(const char* path) {
    file_ = std::fopen(path, "wb");
    return file_ != nullptr;
  }
  // Every record starts with "step", "do" and "at_ms".
  void write(int step, std::string_view what, const Object& fields);

 private:
  std::FILE* file_ = nullptr;
  ULONGLONG start_ = GetTickCount64();
};

}  // namespace ui
