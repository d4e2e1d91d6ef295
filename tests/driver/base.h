// What every part of the UI driver shares: the Failure that ends a script
// (main turns it into the {"error"} record and exit code 99), the text of a
// failed system call, and the owner of kernel handles. The script language,
// the records and the exit codes are documented once, at the top of
// driver.cpp.
#pragma once

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#include <windows.h>

#include <memory>
#include <string>
#include <utility>

namespace ui {

struct Failure {
  std::string what;
};

[[noreturn]] inline void fail(std::string what) {
  throw Failure{std::move(what)};
}

inline std::string win_error(const char* call) {
  return std::string(call) + " failed, error " + std::to_string(GetLastError());
}

struct HandleCloser {
  void operator()(HANDLE h) const noexcept {
    if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

}  // namespace ui
