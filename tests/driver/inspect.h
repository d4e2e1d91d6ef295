// Looking at another process's windows as the UI driver's steps need:
// top-level windows and their controls, messages sent with a bound (a hung
// program must not hang the driver), a control as the records describe it,
// and icons: which stock icon a message box shows, and whether a window has
// an icon at all, read off the screen where Wine answers no query. The steps
// and their records are documented at the top of driver.cpp.
#pragma once

#include "tests/driver/base.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ui {

std::vector<HWND> top_windows();
std::vector<HWND> descendants(HWND parent);
DWORD pid_of(HWND h);
std::string class_of(HWND h);
bool is_class(HWND h, const char* name);
std::string title_of(HWND h);
void pump_messages();

// One message sent to another process's window. It lives as long as the
// thread that sends it, which may outlive our interest in the answer.
struct SendJob {
  SendJob(HWND h, UINT m, WPARAM w = 0, LPARAM l = 0) : hwnd(h), msg(m), wparam(w), lparam(l) {}
  HWND hwnd;
  UINT msg;
  WPARAM wparam;
  LPARAM lparam;
  std::string buffer;       // text to send, or room for text to receive
  bool use_buffer = false;  // lparam points into buffer
  DWORD_PTR result = 0;
  BOOL ok = FALSE;
  DWORD error = 0;
};

// A message sent with a bound of 5 s, from a helper thread (inspect.cpp says
// why): the finished job or the result, or null when there was no answer.
std::shared_ptr<SendJob> send_bounded(std::shared_ptr<SendJob> job);
std::optional<DWORD_PTR> send_bounded(HWND h, UINT msg, WPARAM wparam = 0, LPARAM lparam = 0);
// Forgets which threads let a message time out: a busy program may have come
// back since. Called for every step and every poll of a wait.
void clear_unresponsive();

std::optional<std::string> control_text(HWND h);
std::optional<int> check_state(HWND h);
// A progress bar's position; null for other controls.
std::optional<int> bar_position(HWND h);
std::string describe_control(HWND c, HWND top);

// How the driver waits (Driver::wait_for): polls done() until it says yes or
// timeout_ms pass, pumping the driver's own windows and logging new ones.
using Wait = std::function<bool(DWORD timeout_ms, const std::function<bool()>& done)>;

// "error", "warning", "question", "information", "none" or "unknown".
std::string icon_kind(HWND box, const Wait& wait);
// Whether the window has a class or window icon; null when that cannot be told.
std::optional<bool> window_icon(HWND h, const Wait& wait);

}  // namespace ui
