// driver.exe: runs a Windows program under a test script, drives its windows
// like a user would, and records what it saw.
//
//   driver.exe <script.json> <out.jsonl>
//
// Script: {"timeout_ms": N, "steps": [{"do": "<name>", ...}, ...]}
//   timeout_ms bounds every wait whose step gives none (default 20000).
//   Any step may carry "comment" (a string, ignored). Unknown steps or keys,
//   and values of the wrong type, fail the script before anything runs.
//   Strings are 8-bit code-page bytes: \u0001..\u00ff stand for that byte;
//   higher escapes and \u0000 are refused.
//
// Output: one JSON object per line, flushed at once, so a test can read what
//   happened even after a crash. Every record has "step" (index into steps;
//   -1 for a script that is not valid JSON), "do" and "at_ms" (milliseconds
//   since the driver started). Strings are written back the same way: bytes
//   >= 0x80 appear as \u0080..\u00ff (in Python s.encode("latin-1") gives the
//   raw bytes). hwnd values are plain numbers; every "rect" is
//   [left, top, right, bottom].
//
// Exit code: the exit code recorded by the last wait_exit when the script ran
//   to its end, 0 when none ran (Wine hands on only its low 8 bits); 99 when
//   a step failed: then the last record is {"error": "..."} and every program
//   the driver started is terminated (exit code 99) before the driver exits.
//   A program still running at the end of a script is terminated too and
//   listed in the "end" record.
//
// Nothing waits unbounded. Besides the step timeouts, every message sent to
// the program (WM_GETTEXT and the like) gets 5 s; a thread that lets one
// pass unanswered gets no more messages until the step's next poll or the
// next step (its controls' texts read null meanwhile). The driver parks the mouse pointer in the
// screen's bottom-right corner before the first step, so that no real pointer
// hovers over the program. Steps that read the screen (box icons and window
// icons under Wine, pixel, screenshot) need the window uncovered: tests that
// share a display must not run at the same time.
//
// Steps and the fields of their records:
//   start {cmdline, cwd?}            -> {pid, cmdline}
//       CreateProcessA(NULL, cmdline verbatim, no handle inheritance). It
//       becomes "the program" of every later step, with no current window.
//   switch {program}                 -> {program, pid}
//       Makes the program of the program-th start step (counting from 0)
//       "the program" again, with no current window (wait_window finds it).
//   create_window {class, title?}    -> {class, title, hwnd}
//       A visible top-level window of the driver's own, kept until the end
//       (e.g. to look like another running instance).
//   wait_window {class, title?, timeout_ms?}
//                                    -> {hwnd, pid, class, title, rect, client:[w,h],
//                                        icon, style, exstyle}
//       A visible top-level window of the program with that class (and that
//       exact title, when given) becomes the current window. Fails at once
//       when the program exits first. icon: whether the window has a class or
//       window icon. Wine answers neither GetClassLongPtr nor WM_GETICON for
//       another process, so there the caption is read instead: Wine paints
//       the class icon in it, or its stock IDI_WINLOGO when there is none.
//       null when that cannot be told (no system menu, caption off-screen or
//       covered).
//   controls {}                      -> {hwnd, controls: [{hwnd, class, id, text,
//                                        enabled, visible, checked, rect, style}]}
//       All descendants of the current window in z-order. text is null when
//       the control did not answer WM_GETTEXT; checked is BM_GETCHECK (0, 1,
//       2) for Button controls, null for others; rect is in the current
//       window's client coordinates.
//   wait_control {id, text?, enabled?, visible?, checked?, timeout_ms?}
//                                    -> {control: {...as in controls}}
//       Waits until a control with that id has every given property.
//   click {id, force?}               -> {id, hwnd}
//       Posts BM_CLICK. A hidden or disabled control fails the step (a user
//       could not click it) unless force is true.
//   set_text {id, text}              -> {id, hwnd, text}   WM_SETTEXT (edits raise EN_CHANGE)
//   post {msg, wparam?, lparam?, x?, y?, target_id?}
//                                    -> {hwnd, msg, wparam, lparam}
//       PostMessageA to the current window or its control target_id. msg is a
//       number or a name: WM_CLOSE, WM_COMMAND, WM_KEYDOWN, WM_KEYUP, WM_CHAR,
//       WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP, WM_RBUTTONDOWN,
//       WM_RBUTTONUP, WM_MOUSELEAVE, WM_SYSCOMMAND, WM_NULL. x and y build
//       lparam as MAKELPARAM(x, y) (client coordinates of the target).
//   close {}                         -> {hwnd}   posts WM_CLOSE to the current window
//   box {press?, timeout_ms?}        -> {hwnd, caption, text, icon, buttons: [{id, text}],
//                                        pressed?}
//       Waits for a visible top-level "#32770" window of the program that no
//       earlier box step reported. text is the static with ID 0xFFFF (null if
//       none); icon is "error", "warning", "question", "information", "none",
//       or "unknown" (Wine gives each process its own copy of the stock
//       icons and refuses to read another's, so the box's icon as painted is
//       compared with the driver's own copies); buttons are the visible
//       buttons left to right. press
//       ("ok", "cancel", "abort", "retry", "ignore", "yes", "no", "close",
//       "help", "tryagain", "continue", or a control ID) posts BM_CLICK to that
//       button; a box without it fails the step.
//   no_box {for_ms}                  -> {for_ms, exited}
//       Fails when a new box appears within for_ms; the program ending earlier
//       ends the step successfully.
//   screenshot {path, window?}       -> {path, rect, width, height}
//       24-bit BMP of the screen, or of the current window's rect (clipped to
//       the screen) when window is true.
//   pixel {x, y}                     -> {x, y, screen: [x, y], color: "#rrggbb"}
//       x, y are client coordinates of the current window.
//   sleep {ms}                       -> {ms}   keeps pumping messages meanwhile
//   wait_exit {timeout_ms?}          -> {pid, exit_code}
//   read_link {path}                 -> {path, target, arguments, working_dir, icon_path,
//                                        icon_index, description, show_cmd, hotkey}
//       Through IShellLinkA/IPersistFile; show_cmd and hotkey are read from
//       the file's header (offsets 0x3C and 0x40), which is what Windows
//       honours and what Wine's GetShowCmd does not report after Load.
// Records the driver writes on its own:
//   seen_window {pid, hwnd, class, title}: once per top-level window of a
//       started program, when it is first seen visible; checked on every
//       poll of every wait and after every step.
//   {error}: under the failed step's index and name ("script" and -1 for
//       invalid JSON), the last record before exit 99.
//   end {exit_code, terminated: [pids]}: the script ran to its end.

#define _WIN32_WINNT 0x0601
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

constexpr DWORD kDefaultTimeoutMs = 20000;
constexpr DWORD kMaxTimeoutMs = 3600000;  // a typo must not park a test run for days
constexpr DWORD kPollMs = 10;
constexpr DWORD kSendTimeoutMs = 5000;  // per message sent to another process
constexpr DWORD kIconSettleMs = 2000;   // a window shown a moment ago may not be painted yet
constexpr DWORD kKillWaitMs = 5000;
constexpr int kExitFailed = 99;

struct Failure {
  std::string what;
};

[[noreturn]] void fail(std::string what) {
  throw Failure{std::move(what)};
}

std::string win_error(const char* call) {
  return std::string(call) + " failed, error " + std::to_string(GetLastError());
}

// ---------------------------------------------------------------- RAII

struct HandleCloser {
  void operator()(HANDLE h) const noexcept {
    if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct GdiDeleter {
  void operator()(HGDIOBJ o) const noexcept { DeleteObject(o); }
};
using UniqueBitmap = std::unique_ptr<std::remove_pointer_t<HBITMAP>, GdiDeleter>;

class ScreenDC {
 public:
  ScreenDC() : dc_(GetDC(nullptr)) {
    if (!dc_) fail(win_error("GetDC(NULL)"));
  }
  ~ScreenDC() { ReleaseDC(nullptr, dc_); }
  ScreenDC(const ScreenDC&) = delete;
  ScreenDC& operator=(const ScreenDC&) = delete;
  operator HDC() const { return dc_; }

 private:
  HDC dc_;
};

class MemoryDC {
 public:
  explicit MemoryDC(HDC like) : dc_(CreateCompatibleDC(like)) {
    if (!dc_) fail(win_error("CreateCompatibleDC"));
  }
  ~MemoryDC() { DeleteDC(dc_); }
  MemoryDC(const MemoryDC&) = delete;
  MemoryDC& operator=(const MemoryDC&) = delete;
  operator HDC() const { return dc_; }

 private:
  HDC dc_;
};

class Selection {
 public:
  Selection(HDC dc, HGDIOBJ obj) : dc_(dc), old_(SelectObject(dc, obj)) {}
  ~Selection() { SelectObject(dc_, old_); }
  Selection(const Selection&) = delete;
  Selection& operator=(const Selection&) = delete;

 private:
  HDC dc_;
  HGDIOBJ old_;
};

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  T* operator->() const { return p_; }
  void** put() {
    reset();
    return reinterpret_cast<void**>(&p_);
  }

 private:
  void reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }
  T* p_ = nullptr;
};

class ComApartment {
 public:
  ComApartment() : hr_(CoInitialize(nullptr)) {}
  ~ComApartment() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  HRESULT hr_;
};

// ---------------------------------------------------------------- JSON in

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

// ---------------------------------------------------------------- JSON out

std::string quote(std::string_view s) {
  std::string out = "\"";
  for (const unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", c);
          out += esc;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + '"';
}

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

std::string json_list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
  return out + "]";
}

std::string json_rect(const RECT& r) {
  return json_list({std::to_string(r.left), std::to_string(r.top), std::to_string(r.right),
                    std::to_string(r.bottom)});
}

long long handle_number(HWND h) {
  return static_cast<long long>(reinterpret_cast<uintptr_t>(h));
}

class Output {
 public:
  ~Output() {
    if (file_) std::fclose(file_);
  }
  bool open(const char* path) {
    file_ = std::fopen(path, "wb");
    return file_ != nullptr;
  }
  void write(int step, std::string_view what, const Object& fields) {
    Object head;
    head.num("step", step)
        .str("do", what)
        .num("at_ms", static_cast<long long>(GetTickCount64() - start_));
    std::string line = "{" + head.members();
    if (!fields.members().empty()) line += "," + fields.members();
    line += "}\n";
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
  }

 private:
  std::FILE* file_ = nullptr;
  ULONGLONG start_ = GetTickCount64();
};

// ---------------------------------------------------------------- windows

BOOL CALLBACK collect_window(HWND h, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(h);
  return TRUE;
}

// Enumeration callbacks only collect: nothing may throw through system frames.
std::vector<HWND> top_windows() {
  std::vector<HWND> v;
  EnumWindows(collect_window, reinterpret_cast<LPARAM>(&v));
  return v;
}

std::vector<HWND> descendants(HWND parent) {
  std::vector<HWND> v;
  EnumChildWindows(parent, collect_window, reinterpret_cast<LPARAM>(&v));
  return v;
}

DWORD pid_of(HWND h) {
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  return pid;
}

std::string class_of(HWND h) {
  char buf[256];
  const int n = GetClassNameA(h, buf, sizeof buf);
  return std::string(buf, n > 0 ? n : 0);
}

bool is_class(HWND h, const char* name) {
  return lstrcmpiA(class_of(h).c_str(), name) == 0;
}

// Top-level captions are kept by the window manager side, so GetWindowText
// cannot hang on a busy program.
std::string title_of(HWND h) {
  char buf[1024];
  const int n = GetWindowTextA(h, buf, sizeof buf);
  return std::string(buf, n > 0 ? n : 0);
}

void pump_messages() {
  MSG msg;
  for (int i = 0; i < 10000 && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

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

DWORD WINAPI send_job(void* arg) {
  const std::unique_ptr<std::shared_ptr<SendJob>> holder(
      static_cast<std::shared_ptr<SendJob>*>(arg));
  SendJob& job = **holder;
  const LPARAM lparam = job.use_buffer ? reinterpret_cast<LPARAM>(job.buffer.data()) : job.lparam;
  job.ok = SendMessageTimeoutA(job.hwnd, job.msg, job.wparam, lparam, SMTO_ABORTIFHUNG,
                               kSendTimeoutMs, &job.result);
  job.error = GetLastError();
  return 0;
}

// Threads that let a message time out during the current step or poll: one
// stuck program costs one timeout per step or poll, not one per control.
std::set<DWORD> g_unresponsive;

// Wine's SendMessageTimeout ignores its timeout, SMTO_ABORTIFHUNG included,
// while the receiving thread is stuck inside a window procedure: it returns
// when that thread comes back, however late. So a helper thread sends, and
// we stop waiting for it after kSendTimeoutMs (it ends when the program does).
// Returns the finished job, or null when there was no answer.
std::shared_ptr<SendJob> send_bounded(std::shared_ptr<SendJob> job) {
  const DWORD thread = GetWindowThreadProcessId(job->hwnd, nullptr);
  if (!thread || g_unresponsive.count(thread)) return nullptr;
  auto arg = std::make_unique<std::shared_ptr<SendJob>>(job);
  UniqueHandle worker(CreateThread(nullptr, 0, send_job, arg.get(), 0, nullptr));
  if (!worker) return nullptr;
  arg.release();  // the thread owns it now
  const ULONGLONG deadline = GetTickCount64() + kSendTimeoutMs;
  for (ULONGLONG now = GetTickCount64(); now < deadline; now = GetTickCount64()) {
    HANDLE h = worker.get();
    // Keep our own windows answering: the program may be sending to them.
    const DWORD woke =
        MsgWaitForMultipleObjects(1, &h, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
    if (woke == WAIT_OBJECT_0) {
      if (!job->ok && job->error == ERROR_TIMEOUT) g_unresponsive.insert(thread);
      return job->ok ? job : nullptr;
    }
    if (woke != WAIT_OBJECT_0 + 1) break;
    pump_messages();
  }
  g_unresponsive.insert(thread);
  return nullptr;
}

std::optional<DWORD_PTR> send_bounded(HWND h, UINT msg, WPARAM wparam = 0, LPARAM lparam = 0) {
  const auto job = send_bounded(std::make_shared<SendJob>(h, msg, wparam, lparam));
  return job ? std::optional<DWORD_PTR>(job->result) : std::nullopt;
}

// Controls of another process hold their own text: it takes a message.
std::optional<std::string> control_text(HWND h) {
  const auto len = send_bounded(h, WM_GETTEXTLENGTH);
  if (!len) return std::nullopt;
  auto job = std::make_shared<SendJob>(h, WM_GETTEXT);
  job->buffer.assign(std::min<DWORD_PTR>(*len, 1 << 20) + 1, '\0');
  job->wparam = job->buffer.size();
  job->use_buffer = true;
  if (!(job = send_bounded(job))) return std::nullopt;
  job->buffer.resize(std::min<size_t>(job->result, job->buffer.size() - 1));
  return job->buffer;
}

RECT rect_in_client(HWND h, HWND client_of) {
  RECT r{};
  GetWindowRect(h, &r);
  MapWindowPoints(HWND_DESKTOP, client_of, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// Windows answers these across processes; Wine answers none of them for
// another process's window (GetClassLongPtr fails with error 6, and
// SendMessageTimeout of WM_GETICON fails outright).
bool icon_by_query(HWND h) {
  if (GetClassLongPtrA(h, GCLP_HICON) || GetClassLongPtrA(h, GCLP_HICONSM)) return true;
  for (const WPARAM kind : {ICON_BIG, ICON_SMALL, ICON_SMALL2}) {
    const auto icon = send_bounded(h, WM_GETICON, kind);
    if (icon && *icon) return true;
  }
  return false;
}

std::optional<int> check_state(HWND h) {
  if (!is_class(h, "Button")) return std::nullopt;
  const auto state = send_bounded(h, BM_GETCHECK);
  return state ? std::optional<int>(static_cast<int>(*state)) : std::nullopt;
}

std::string describe_control(HWND c, HWND top) {
  Object o;
  o.num("hwnd", handle_number(c))
      .str("class", class_of(c))
      .num("id", GetDlgCtrlID(c))
      .opt_str("text", control_text(c))
      .flag("enabled", IsWindowEnabled(c))
      .flag("visible", IsWindowVisible(c));
  const auto checked = check_state(c);
  o.raw("checked", checked ? std::to_string(*checked) : "null")
      .raw("rect", json_rect(rect_in_client(c, top)))
      .num("style", static_cast<DWORD>(GetWindowLongA(c, GWL_STYLE)));
  return o.json();
}

// ---------------------------------------------------------------- pixels

// A top-down 32-bit DIB section: GDI draws into it, we read its memory.
class Canvas {
 public:
  Canvas(HDC like, int w, int h) : dc_(like), w_(w), h_(h) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    bitmap_.reset(CreateDIBSection(like, &bi, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!bitmap_) fail(win_error("CreateDIBSection"));
    bits_ = static_cast<const uint32_t*>(bits);
    selection_.emplace(dc_, bitmap_.get());
  }
  HDC dc() const { return dc_; }
  int width() const { return w_; }
  int height() const { return h_; }
  uint32_t at(int x, int y) const { return bits_[static_cast<size_t>(y) * w_ + x] & 0xFFFFFF; }

 private:
  MemoryDC dc_;
  UniqueBitmap bitmap_;
  std::optional<Selection> selection_;  // declared last: deselected before the bitmap dies
  const uint32_t* bits_ = nullptr;
  int w_, h_;
};

RECT screen_rect() {
  const int x = GetSystemMetrics(SM_XVIRTUALSCREEN), y = GetSystemMetrics(SM_YVIRTUALSCREEN);
  return {x, y, x + GetSystemMetrics(SM_CXVIRTUALSCREEN), y + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
}

std::unique_ptr<Canvas> capture(const RECT& r) {
  const int w = r.right - r.left, h = r.bottom - r.top;
  if (w <= 0 || h <= 0) fail("nothing to capture: the area lies off the screen");
  ScreenDC screen;
  auto canvas = std::make_unique<Canvas>(screen, w, h);
  if (!BitBlt(canvas->dc(), 0, 0, w, h, screen, r.left, r.top, SRCCOPY | CAPTUREBLT))
    fail(win_error("BitBlt"));
  GdiFlush();
  return canvas;
}

void write_bmp(const Canvas& c, const std::string& path) {
  const DWORD stride = (static_cast<DWORD>(c.width()) * 3 + 3) & ~3u;
  const DWORD image = stride * static_cast<DWORD>(c.height());
  BITMAPFILEHEADER fh{};
  BITMAPINFOHEADER ih{};
  fh.bfType = 0x4D42;  // "BM"
  fh.bfOffBits = sizeof fh + sizeof ih;
  fh.bfSize = fh.bfOffBits + image;
  ih.biSize = sizeof ih;
  ih.biWidth = c.width();
  ih.biHeight = c.height();  // positive: rows bottom-up, as every reader expects
  ih.biPlanes = 1;
  ih.biBitCount = 24;
  ih.biCompression = BI_RGB;
  ih.biSizeImage = image;
  std::string data(reinterpret_cast<const char*>(&fh), sizeof fh);
  data.append(reinterpret_cast<const char*>(&ih), sizeof ih);
  std::string row(stride, '\0');
  for (int y = c.height() - 1; y >= 0; --y) {
    for (int x = 0; x < c.width(); ++x) {
      const uint32_t p = c.at(x, y);
      row[x * 3] = static_cast<char>(p & 0xFF);
      row[x * 3 + 1] = static_cast<char>((p >> 8) & 0xFF);
      row[x * 3 + 2] = static_cast<char>((p >> 16) & 0xFF);
    }
    data += row;
  }
  UniqueHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) fail(win_error("CreateFileA") + " for " + path);
  DWORD written = 0;
  if (!WriteFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr) ||
      written != data.size())
    fail(win_error("WriteFile") + " for " + path);
}

std::string color_name(uint32_t rgb) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "#%06x", static_cast<unsigned>(rgb));
  return buf;
}

uint32_t rgb_of(COLORREF c) {
  return GetRValue(c) << 16 | GetGValue(c) << 8 | GetBValue(c);
}

bool similar(uint32_t a, uint32_t b, int tolerance) {
  for (int shift = 0; shift < 24; shift += 8) {
    const int da = static_cast<int>((a >> shift) & 0xFF),
              db = static_cast<int>((b >> shift) & 0xFF);
    if (std::abs(da - db) > tolerance) return false;
  }
  return true;
}

// An icon as we draw it. Pixels that come out the same on black and on white
// are opaque; the rest (transparent or blended) depend on the background and
// are not compared, so the icon matches whatever it was drawn on.
struct IconImage {
  int w = 0, h = 0;
  std::vector<uint32_t> color;
  std::vector<char> opaque;
};

IconImage render_icon(HICON icon, int w, int h) {
  ScreenDC screen;
  Canvas black(screen, w, h), white(screen, w, h);
  PatBlt(black.dc(), 0, 0, w, h, BLACKNESS);
  PatBlt(white.dc(), 0, 0, w, h, WHITENESS);
  DrawIconEx(black.dc(), 0, 0, icon, w, h, 0, nullptr, DI_NORMAL);
  DrawIconEx(white.dc(), 0, 0, icon, w, h, 0, nullptr, DI_NORMAL);
  GdiFlush();
  IconImage image{w, h, {}, {}};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      image.color.push_back(black.at(x, y));
      image.opaque.push_back(black.at(x, y) == white.at(x, y));
    }
  return image;
}

// Share of the icon's opaque pixels that the shot shows in the same colour
// with the icon's corner at (dx, dy).
double icon_match(const Canvas& shot, const IconImage& icon, int dx, int dy) {
  size_t opaque = 0, same = 0;
  for (int y = 0; y < icon.h && y + dy < shot.height(); ++y)
    for (int x = 0; x < icon.w && x + dx < shot.width(); ++x) {
      const size_t i = static_cast<size_t>(y) * icon.w + x;
      if (!icon.opaque[i]) continue;
      ++opaque;
      if (similar(icon.color[i], shot.at(x + dx, y + dy), 16)) ++same;
    }
  return opaque ? static_cast<double>(same) / static_cast<double>(opaque) : 0.0;
}

// A match this good is the same image: exact matches score 1.0 under Wine,
// while question and information share their round blue body and score ~0.86
// against each other.
constexpr double kSameIcon = 0.97;

// ---------------------------------------------------------------- script

// Button and Message take a number or a name from kButtonNames / kMessageNames.
enum class Type { Int, Str, Bool, Button, Message };

struct Field {
  std::string_view name;
  Type type;
  bool required = false;
  long long lo = INT32_MIN, hi = UINT32_MAX;  // for numbers
};

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

std::string str_of(const Value& step, std::string_view key, std::string fallback = {}) {
  const Value* v = step.find(key);
  return v ? v->text : fallback;
}

bool flag_of(const Value& step, std::string_view key) {
  const Value* v = step.find(key);
  return v && v->boolean;
}

struct NamedId {
  std::string_view name;
  UINT id;
};

constexpr NamedId kButtonNames[] = {
    {"ok", IDOK},         {"cancel", IDCANCEL}, {"abort", IDABORT}, {"retry", IDRETRY},
    {"ignore", IDIGNORE}, {"yes", IDYES},       {"no", IDNO},       {"close", IDCLOSE},
    {"help", IDHELP},     {"tryagain", 10},     {"continue", 11},
};

constexpr NamedId kMessageNames[] = {
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

UINT id_of(const Value& v, std::string_view key, std::span<const NamedId> names) {
  if (v.kind == Value::Kind::Number) return static_cast<UINT>(as_int(v, key));
  for (const auto& n : names)
    if (lstrcmpiA(std::string(n.name).c_str(), v.text.c_str()) == 0) return n.id;
  std::string known;
  for (const auto& n : names) known += (known.empty() ? "" : ", ") + std::string(n.name);
  fail("\"" + std::string(key) + "\": unknown name \"" + v.text + "\" (known: " + known + ")");
}

// ---------------------------------------------------------------- driver

class Driver {
 public:
  explicit Driver(Output& out) : out_(out) {}

  // Checks the whole script before anything runs, so a typo cannot leave a
  // half-driven program behind.
  void load(const std::string& text);
  void run();
  int finish();
  void abort(const std::string& why);

 private:
  using Handler = void (Driver::*)(const Value&, Object&);
  struct StepKind {
    std::string_view name;
    Handler run;
    std::vector<Field> fields;
  };
  struct Program {
    UniqueHandle process;
    DWORD pid;
  };
  static const std::vector<StepKind>& kinds();

  void emit(std::string_view what, Object& fields) { out_.write(step_, what, fields); }
  DWORD timeout(const Value& s) const {
    return static_cast<DWORD>(int_of(s, "timeout_ms", default_timeout_, 0, kMaxTimeoutMs));
  }

  // The only way the driver waits: polls, pumps its own windows' messages
  // and logs new windows until done() or the bound.
  template <class Done>
  bool wait_for(DWORD timeout_ms, Done&& done) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
      pump_messages();
      scan_windows();
      g_unresponsive.clear();  // a busy program may have come back since
      if (done()) return true;
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) return false;
      MsgWaitForMultipleObjects(0, nullptr, FALSE,
                                static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kPollMs)),
                                QS_ALLINPUT);
    }
  }

  void scan_windows() {
    for (HWND h : top_windows()) {
      if (seen_.count(h) || !IsWindowVisible(h)) continue;
      const DWORD pid = pid_of(h);
      if (std::none_of(programs_.begin(), programs_.end(),
                       [&](const Program& p) { return p.pid == pid; }))
        continue;
      seen_.insert(h);
      Object rec;
      rec.num("pid", pid)
          .num("hwnd", handle_number(h))
          .str("class", class_of(h))
          .str("title", title_of(h));
      emit("seen_window", rec);
    }
  }

  Program& program() {
    if (programs_.empty()) fail("no program started yet");
    return programs_[current_program_];
  }
  std::optional<DWORD> exit_code_if_ended() {
    HANDLE h = program().process.get();
    if (WaitForSingleObject(h, 0) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(h, &code);
    return code;
  }
  void fail_if_ended(const std::string& waiting_for) {
    if (const auto code = exit_code_if_ended())
      fail("the program exited with code " + std::to_string(*code) + " while waiting for " +
           waiting_for);
  }

  HWND window() {
    if (!current_) fail("no current window: use wait_window first");
    if (!IsWindow(current_)) fail("the current window is gone");
    return current_;
  }

  // Several pages may share control IDs; the visible one is what a user sees.
  HWND find_control(int id) {
    HWND hidden = nullptr;
    for (HWND c : descendants(window())) {
      if (GetDlgCtrlID(c) != id) continue;
      if (IsWindowVisible(c)) return c;
      if (!hidden) hidden = c;
    }
    return hidden;
  }
  HWND control(int id) {
    HWND c = find_control(id);
    if (!c) fail("the current window has no control with id " + std::to_string(id));
    return c;
  }

  HWND find_new_box() {
    const DWORD pid = program().pid;
    for (HWND h : top_windows())
      if (!boxes_.count(h) && IsWindowVisible(h) && pid_of(h) == pid && class_of(h) == "#32770")
        return h;
    return nullptr;
  }

  std::string icon_kind(HWND box);
  std::optional<bool> window_icon(HWND h);

  void do_start(const Value&, Object&);
  void do_switch(const Value&, Object&);
  void do_create_window(const Value&, Object&);
  void do_wait_window(const Value&, Object&);
  void do_controls(const Value&, Object&);
  void do_wait_control(const Value&, Object&);
  void do_click(const Value&, Object&);
  void do_set_text(const Value&, Object&);
  void do_post(const Value&, Object&);
  void do_close(const Value&, Object&);
  void do_box(const Value&, Object&);
  void do_no_box(const Value&, Object&);
  void do_screenshot(const Value&, Object&);
  void do_pixel(const Value&, Object&);
  void do_sleep(const Value&, Object&);
  void do_wait_exit(const Value&, Object&);
  void do_read_link(const Value&, Object&);

  Output& out_;
  Value script_;
  std::vector<std::pair<const StepKind*, const Value*>> steps_;
  DWORD default_timeout_ = kDefaultTimeoutMs;
  int step_ = -1;
  std::string step_name_ = "script";
  std::vector<Program> programs_;
  size_t current_program_ = 0;
  HWND current_ = nullptr;
  std::set<HWND> seen_, boxes_;
  std::optional<DWORD> last_exit_;
};

const std::vector<Driver::StepKind>& Driver::kinds() {
  constexpr long long kMaxId = 0xFFFF, kMaxMs = kMaxTimeoutMs;
  constexpr Field kTimeout{"timeout_ms", Type::Int, false, 0, kMaxMs};
  constexpr Field kId{"id", Type::Int, true, 0, kMaxId};
  static const std::vector<StepKind> table = {
      {"start", &Driver::do_start, {{"cmdline", Type::Str, true}, {"cwd", Type::Str}}},
      {"switch", &Driver::do_switch, {{"program", Type::Int, true, 0, 100000}}},
      {"create_window",
       &Driver::do_create_window,
       {{"class", Type::Str, true}, {"title", Type::Str}}},
      {"wait_window",
       &Driver::do_wait_window,
       {{"class", Type::Str, true}, {"title", Type::Str}, kTimeout}},
      {"controls", &Driver::do_controls, {}},
      {"wait_control",
       &Driver::do_wait_control,
       {kId,
        {"text", Type::Str},
        {"enabled", Type::Bool},
        {"visible", Type::Bool},
        {"checked", Type::Int, false, 0, 2},
        kTimeout}},
      {"click", &Driver::do_click, {kId, {"force", Type::Bool}}},
      {"set_text", &Driver::do_set_text, {kId, {"text", Type::Str, true}}},
      {"post",
       &Driver::do_post,
       {{"msg", Type::Message, true, 0, kMaxId},
        {"wparam", Type::Int},
        {"lparam", Type::Int},
        {"x", Type::Int, false, -32768, 32767},
        {"y", Type::Int, false, -32768, 32767},
        {"target_id", Type::Int, false, 0, kMaxId}}},
      {"close", &Driver::do_close, {}},
      {"box", &Driver::do_box, {{"press", Type::Button, false, 0, kMaxId}, kTimeout}},
      {"no_box", &Driver::do_no_box, {{"for_ms", Type::Int, true, 0, kMaxMs}}},
      {"screenshot", &Driver::do_screenshot, {{"path", Type::Str, true}, {"window", Type::Bool}}},
      {"pixel",
       &Driver::do_pixel,
       {{"x", Type::Int, true, INT32_MIN, INT32_MAX},
        {"y", Type::Int, true, INT32_MIN, INT32_MAX}}},
      {"sleep", &Driver::do_sleep, {{"ms", Type::Int, true, 0, kMaxMs}}},
      {"wait_exit", &Driver::do_wait_exit, {kTimeout}},
      {"read_link", &Driver::do_read_link, {{"path", Type::Str, true}}},
  };
  return table;
}

void Driver::load(const std::string& text) {
  script_ = Parser(text).document();
  if (script_.kind != Value::Kind::Object) fail("the script must be a JSON object");
  for (const auto& [key, v] : script_.members)
    if (key != "timeout_ms" && key != "steps" && key != "comment")
      fail("unknown script member \"" + key + "\"");
  default_timeout_ =
      static_cast<DWORD>(int_of(script_, "timeout_ms", kDefaultTimeoutMs, 0, kMaxTimeoutMs));
  const Value& steps = need(script_, "steps");
  if (steps.kind != Value::Kind::Array) fail("\"steps\" must be an array");

  for (size_t i = 0; i < steps.items.size(); ++i) {
    const Value& s = steps.items[i];
    step_ = static_cast<int>(i);
    step_name_.clear();
    if (s.kind != Value::Kind::Object) fail("a step must be an object");
    const Value& what = need(s, "do");
    if (what.kind != Value::Kind::String) fail("\"do\" must be a string");
    step_name_ = what.text;
    const auto kind = std::find_if(kinds().begin(), kinds().end(),
                                   [&](const StepKind& k) { return k.name == what.text; });
    if (kind == kinds().end()) fail("unknown step \"" + what.text + "\"");
    for (const auto& [key, v] : s.members) {
      if (key == "do") continue;
      if (key == "comment") {
        if (v.kind != Value::Kind::String) fail("\"comment\" must be a string");
        continue;
      }
      const auto f = std::find_if(kind->fields.begin(), kind->fields.end(),
                                  [&](const Field& f) { return f.name == key; });
      if (f == kind->fields.end()) fail("unknown field \"" + key + "\" for " + what.text);
      const bool named = f->type == Type::Button || f->type == Type::Message;
      const bool ok = (f->type == Type::Str && v.kind == Value::Kind::String) ||
                      (f->type == Type::Bool && v.kind == Value::Kind::Bool) ||
                      ((f->type == Type::Int || named) && v.kind == Value::Kind::Number) ||
                      (named && v.kind == Value::Kind::String);
      if (!ok)
        fail("\"" + key + "\" must be " +
             (f->type == Type::Str    ? "a string"
              : f->type == Type::Bool ? "true or false"
              : f->type == Type::Int  ? "an integer"
                                      : "an integer or a name"));
      if (v.kind == Value::Kind::Number) int_of(s, key, f->lo, f->hi);
      if (v.kind == Value::Kind::String && f->type == Type::Button) id_of(v, key, kButtonNames);
      if (v.kind == Value::Kind::String && f->type == Type::Message) id_of(v, key, kMessageNames);
    }
    for (const Field& f : kind->fields)
      if (f.required && !s.find(f.name)) fail("missing \"" + std::string(f.name) + "\"");
    steps_.emplace_back(&*kind, &s);
  }
  step_ = -1;
  step_name_ = "script";
}

void Driver::run() {
  // The pointer rests mid-screen, where programs put their windows: its
  // real mouse messages would mix with the hovers a script posts.
  const RECT screen = screen_rect();
  SetCursorPos(screen.right - 1, screen.bottom - 1);
  for (size_t i = 0; i < steps_.size(); ++i) {
    step_ = static_cast<int>(i);
    step_name_ = std::string(steps_[i].first->name);
    g_unresponsive.clear();
    Object rec;
    (this->*steps_[i].first->run)(*steps_[i].second, rec);
    scan_windows();
    emit(step_name_, rec);
  }
  step_ = static_cast<int>(steps_.size());
}

int Driver::finish() {
  std::vector<std::string> killed;
  for (Program& p : programs_) {
    if (WaitForSingleObject(p.process.get(), 0) == WAIT_OBJECT_0) continue;
    TerminateProcess(p.process.get(), kExitFailed);
    WaitForSingleObject(p.process.get(), kKillWaitMs);
    killed.push_back(std::to_string(p.pid));
  }
  const int code = last_exit_ ? static_cast<int>(*last_exit_) : 0;
  Object rec;
  rec.num("exit_code", code).raw("terminated", json_list(killed));
  emit("end", rec);
  return code;
}

void Driver::abort(const std::string& why) {
  Object rec;
  rec.str("error", why);
  out_.write(step_, step_name_, rec);
  for (Program& p : programs_) {
    TerminateProcess(p.process.get(), kExitFailed);
    WaitForSingleObject(p.process.get(), kKillWaitMs);
  }
}

void Driver::do_start(const Value& s, Object& rec) {
  const std::string cmdline = str_of(s, "cmdline"), cwd = str_of(s, "cwd");
  std::vector<char> buf(cmdline.begin(), cmdline.end());
  buf.push_back('\0');  // CreateProcessA may write into the command line
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      cwd.empty() ? nullptr : cwd.c_str(), &si, &pi))
    fail(win_error("CreateProcessA"));
  CloseHandle(pi.hThread);
  programs_.push_back({UniqueHandle(pi.hProcess), pi.dwProcessId});
  current_program_ = programs_.size() - 1;
  current_ = nullptr;
  rec.num("pid", pi.dwProcessId).str("cmdline", cmdline);
}

void Driver::do_switch(const Value& s, Object& rec) {
  const auto n = static_cast<size_t>(int_of(s, "program", 0, 100000));
  if (n >= programs_.size())
    fail("program " + std::to_string(n) + " was never started (" +
         std::to_string(programs_.size()) + " started so far)");
  current_program_ = n;
  current_ = nullptr;
  rec.num("program", static_cast<long long>(n)).num("pid", programs_[n].pid);
}

void Driver::do_create_window(const Value& s, Object& rec) {
  const std::string cls = str_of(s, "class"), title = str_of(s, "title");
  WNDCLASSA wc{};
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = cls.c_str();
  if (!RegisterClassA(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
    fail(win_error("RegisterClassA"));
  // Small and in the corner: it must not cover the boxes whose icons we read.
  HWND h = CreateWindowExA(0, cls.c_str(), title.c_str(), WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                           200, 100, nullptr, nullptr, wc.hInstance, nullptr);
  if (!h) fail(win_error("CreateWindowExA"));
  rec.str("class", cls).str("title", title).num("hwnd", handle_number(h));
}

void Driver::do_wait_window(const Value& s, Object& rec) {
  const std::string cls = str_of(s, "class");
  const Value* title = s.find("title");
  const DWORD pid = program().pid;
  const DWORD ms = timeout(s);
  HWND found = nullptr;
  const bool ok = wait_for(ms, [&] {
    for (HWND h : top_windows())
      if (IsWindowVisible(h) && pid_of(h) == pid && class_of(h) == cls &&
          (!title || title_of(h) == title->text)) {
        found = h;
        return true;
      }
    fail_if_ended("a window of class \"" + cls + "\"");
    return false;
  });
  if (!ok) fail("no visible window of class \"" + cls + "\" within " + std::to_string(ms) + " ms");
  current_ = found;
  const std::optional<bool> icon = window_icon(found);
  RECT r{}, client{};
  GetWindowRect(found, &r);
  GetClientRect(found, &client);
  rec.num("hwnd", handle_number(found))
      .num("pid", pid)
      .str("class", cls)
      .str("title", title_of(found))
      .raw("rect", json_rect(r))
      .raw("client", json_list({std::to_string(client.right), std::to_string(client.bottom)}))
      .raw("icon", icon ? (*icon ? "true" : "false") : "null")
      .num("style", static_cast<DWORD>(GetWindowLongA(found, GWL_STYLE)))
      .num("exstyle", static_cast<DWORD>(GetWindowLongA(found, GWL_EXSTYLE)));
}

void Driver::do_controls(const Value&, Object& rec) {
  HWND top = window();
  std::vector<std::string> list;
  for (HWND c : descendants(top)) list.push_back(describe_control(c, top));
  rec.num("hwnd", handle_number(top)).raw("controls", json_list(list));
}

void Driver::do_wait_control(const Value& s, Object& rec) {
  const int id = static_cast<int>(int_of(s, "id", 0, 0xFFFF));
  const DWORD ms = timeout(s);
  std::string last = "no such control";
  HWND found = nullptr;
  const bool ok = wait_for(ms, [&] {
    HWND c = find_control(id);
    if (!c) return false;
    const auto text = control_text(c);
    const auto checked = check_state(c);
    last = "text " + (text ? quote(*text) : "null") + ", enabled " +
           (IsWindowEnabled(c) ? "true" : "false") + ", visible " +
           (IsWindowVisible(c) ? "true" : "false") + ", checked " +
           (checked ? std::to_string(*checked) : "null");
    const Value* v;
    if ((v = s.find("text")) && (!text || *text != v->text)) return false;
    if ((v = s.find("enabled")) && v->boolean != !!IsWindowEnabled(c)) return false;
    if ((v = s.find("visible")) && v->boolean != !!IsWindowVisible(c)) return false;
    if ((v = s.find("checked")) && (!checked || *checked != as_int(*v, "checked"))) return false;
    found = c;
    return true;
  });
  if (!ok)
    fail("control " + std::to_string(id) + " did not reach the wanted state within " +
         std::to_string(ms) + " ms (last seen: " + last + ")");
  rec.raw("control", describe_control(found, window()));
}

void Driver::do_click(const Value& s, Object& rec) {
  const int id = static_cast<int>(int_of(s, "id", 0, 0xFFFF));
  HWND c = control(id);
  if (!flag_of(s, "force")) {
    if (!IsWindowVisible(c))
      fail("control " + std::to_string(id) + " is hidden (use force to click anyway)");
    if (!IsWindowEnabled(c))
      fail("control " + std::to_string(id) + " is disabled (use force to click anyway)");
  }
  // Posted, never sent: a click that opens a modal box would block us.
  if (!PostMessageA(c, BM_CLICK, 0, 0)) fail(win_error("PostMessageA(BM_CLICK)"));
  rec.num("id", id).num("hwnd", handle_number(c));
}

void Driver::do_set_text(const Value& s, Object& rec) {
  const int id = static_cast<int>(int_of(s, "id", 0, 0xFFFF));
  const std::string text = str_of(s, "text");
  HWND c = control(id);
  auto job = std::make_shared<SendJob>(c, WM_SETTEXT);
  job->buffer = text;
  job->use_buffer = true;
  if (!(job = send_bounded(job)))
    fail("control " + std::to_string(id) +
         " did not answer WM_SETTEXT (the program is busy or hung)");
  if (!job->result) fail("control " + std::to_string(id) + " refused WM_SETTEXT");
  rec.num("id", id).num("hwnd", handle_number(c)).str("text", text);
}

void Driver::do_post(const Value& s, Object& rec) {
  const UINT msg = id_of(need(s, "msg"), "msg", kMessageNames);
  const bool has_xy = s.find("x") || s.find("y");
  if (has_xy && s.find("lparam")) fail("give either lparam or x and y");
  if (has_xy && !(s.find("x") && s.find("y"))) fail("x and y go together");
  const WPARAM wparam = static_cast<WPARAM>(int_of(s, "wparam", 0, INT32_MIN, UINT32_MAX));
  const LPARAM lparam = has_xy ? MAKELPARAM(static_cast<WORD>(int_of(s, "x", -32768, 32767)),
                                            static_cast<WORD>(int_of(s, "y", -32768, 32767)))
                               : static_cast<LPARAM>(int_of(s, "lparam", 0, INT32_MIN, UINT32_MAX));
  HWND target =
      s.find("target_id") ? control(static_cast<int>(int_of(s, "target_id", 0, 0xFFFF))) : window();
  if (!PostMessageA(target, msg, wparam, lparam)) fail(win_error("PostMessageA"));
  rec.num("hwnd", handle_number(target))
      .num("msg", msg)
      .num("wparam", static_cast<DWORD>(wparam))
      .num("lparam", static_cast<DWORD>(lparam));
}

void Driver::do_close(const Value&, Object& rec) {
  HWND h = window();
  if (!PostMessageA(h, WM_CLOSE, 0, 0)) fail(win_error("PostMessageA(WM_CLOSE)"));
  rec.num("hwnd", handle_number(h));
}

std::string Driver::icon_kind(HWND box) {
  HWND slot = nullptr;
  for (HWND c : descendants(box))
    if (is_class(c, "Static") && (GetWindowLongA(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
      slot = c;
      break;
    }
  const auto answer =
      slot && IsWindowVisible(slot) ? send_bounded(slot, STM_GETICON) : std::nullopt;
  if (!answer || !*answer) return "none";
  const auto icon = static_cast<HICON>(reinterpret_cast<void*>(*answer));

  static const struct {
    LPCSTR id;
    const char* name;
  } kStock[] = {{IDI_HAND, "error"},
                {IDI_EXCLAMATION, "warning"},
                {IDI_QUESTION, "question"},
                {IDI_ASTERISK, "information"}};
  // Windows shares stock icons between processes: the handle tells.
  for (const auto& k : kStock)
    if (LoadIconA(nullptr, k.id) == icon) return k.name;

  // Wine gives each process its own copies and refuses to read another
  // process's icon, so compare what the box shows with our own copies.
  RECT r{};
  GetClientRect(slot, &r);
  MapWindowPoints(slot, HWND_DESKTOP, reinterpret_cast<POINT*>(&r), 2);
  RECT screen = screen_rect();
  if (!IntersectRect(&r, &r, &screen)) return "unknown";
  std::vector<IconImage> stock;
  for (const auto& k : kStock)
    stock.push_back(render_icon(LoadIconA(nullptr, k.id), r.right - r.left, r.bottom - r.top));
  std::string kind = "unknown";
  wait_for(kIconSettleMs, [&] {
    const auto shot = capture(r);
    double best = 0, second = 0;
    const char* name = nullptr;
    for (size_t i = 0; i < std::size(kStock); ++i) {
      const auto& k = kStock[i];
      const double score = icon_match(*shot, stock[i], 0, 0);
      if (score > best) {
        second = best;
        best = score;
        name = k.name;
      } else if (score > second) {
        second = score;
      }
    }
    if (best < kSameIcon || best - second < 0.05) return false;  // not painted yet, or covered
    kind = name;
    return true;
  });
  return kind;
}

// When the queries say no, look at the caption: Wine paints the class icon
// there, and its stock IDI_WINLOGO for a window without one.
std::optional<bool> Driver::window_icon(HWND h) {
  if (icon_by_query(h)) return true;
  const LONG style = GetWindowLongA(h, GWL_STYLE);
  WINDOWINFO info{};
  info.cbSize = sizeof info;
  if ((style & WS_CAPTION) != WS_CAPTION || !(style & WS_SYSMENU) || !GetWindowInfo(h, &info))
    return std::nullopt;
  const int cx = GetSystemMetrics(SM_CXSMICON), cy = GetSystemMetrics(SM_CYSMICON);
  // The caption's left end: the icon sits 2 px in, with a little slack.
  const LONG left = info.rcWindow.left + static_cast<LONG>(info.cxWindowBorders);
  const LONG top = info.rcWindow.top + static_cast<LONG>(info.cyWindowBorders);
  RECT strip{left, top, left + cx + 8, top + GetSystemMetrics(SM_CYCAPTION)};
  RECT visible{}, screen = screen_rect();
  if (!IntersectRect(&visible, &strip, &screen) || !EqualRect(&visible, &strip))
    return std::nullopt;

  const IconImage stand_in = render_icon(
      static_cast<HICON>(LoadImageA(nullptr, IDI_WINLOGO, IMAGE_ICON, cx, cy, LR_SHARED)), cx, cy);
  const uint32_t captions[] = {rgb_of(GetSysColor(COLOR_ACTIVECAPTION)),
                               rgb_of(GetSysColor(COLOR_INACTIVECAPTION))};
  // A window shown a moment ago may not have painted yet, and what is on
  // the screen there may be another window's caption. Each round trip ends
  // only when the program's thread is back in its message loop, where it
  // paints; agreeing answers in a row catch a paint that came later still.
  for (int i = 0; i < 2; ++i) send_bounded(h, WM_NULL);
  std::optional<bool> answer, last;
  int agreeing = 0;
  wait_for(kIconSettleMs, [&] {
    const auto shot = capture(strip);
    const uint32_t background = shot->at(0, shot->height() / 2);  // left of the icon
    std::optional<bool> now;
    if (std::find(std::begin(captions), std::end(captions), background) != std::end(captions)) {
      bool drawn = false;
      for (int y = 0; y < shot->height() && !drawn; ++y)
        for (int x = 0; x < shot->width() && !drawn; ++x)
          drawn = !similar(shot->at(x, y), background, 48);
      now = drawn;
      for (int dy = 0; dy + cy <= shot->height() && *now; ++dy)
        for (int dx = 0; dx + cx <= shot->width() && *now; ++dx)
          if (icon_match(*shot, stand_in, dx, dy) >= kSameIcon) now = false;
    }
    agreeing = now && now == last ? agreeing + 1 : 0;
    last = now;
    if (agreeing < 2) return false;
    answer = now;
    return true;
  });
  return answer;
}

void Driver::do_box(const Value& s, Object& rec) {
  const DWORD ms = timeout(s);
  HWND box = nullptr;
  const bool ok = wait_for(ms, [&] {
    if ((box = find_new_box())) return true;
    fail_if_ended("a message box");
    return false;
  });
  if (!ok) fail("no new message box within " + std::to_string(ms) + " ms");
  boxes_.insert(box);

  struct Button {
    HWND hwnd;
    int id;
    RECT rect;
    std::string text;
  };
  std::vector<Button> buttons;
  for (HWND c : descendants(box)) {
    if (!is_class(c, "Button") || !IsWindowVisible(c)) continue;
    RECT r{};
    GetWindowRect(c, &r);
    buttons.push_back({c, GetDlgCtrlID(c), r, control_text(c).value_or("")});
  }
  std::sort(buttons.begin(), buttons.end(), [](const Button& a, const Button& b) {
    // Reading order: rows first (a few pixels off still count as one row).
    return std::abs(a.rect.top - b.rect.top) > 4 ? a.rect.top < b.rect.top
                                                 : a.rect.left < b.rect.left;
  });
  std::vector<std::string> listed;
  std::string names;
  for (const Button& b : buttons) {
    listed.push_back(Object().num("id", b.id).str("text", b.text).json());
    names += (names.empty() ? "" : ", ") + std::to_string(b.id) + " " + quote(b.text);
  }
  HWND text = GetDlgItem(box, 0xFFFF);
  rec.num("hwnd", handle_number(box))
      .str("caption", title_of(box))
      .opt_str("text", text ? control_text(text) : std::nullopt)
      .str("icon", icon_kind(box))
      .raw("buttons", json_list(listed));

  if (const Value* press = s.find("press")) {
    const int id = static_cast<int>(id_of(*press, "press", kButtonNames));
    const auto b =
        std::find_if(buttons.begin(), buttons.end(), [&](const Button& b) { return b.id == id; });
    if (b == buttons.end())
      fail("the box has no button " +
           (press->kind == Value::Kind::String ? quote(press->text) + " " : "") + "(id " +
           std::to_string(id) + "); its buttons: " + names +
           "; its text: " + quote(text ? control_text(text).value_or("") : ""));
    if (!PostMessageA(b->hwnd, BM_CLICK, 0, 0)) fail(win_error("PostMessageA(BM_CLICK)"));
    rec.num("pressed", id);
  }
}

void Driver::do_no_box(const Value& s, Object& rec) {
  const DWORD ms = static_cast<DWORD>(int_of(s, "for_ms", 0, kMaxTimeoutMs));
  HWND box = nullptr;
  bool exited = false;
  program();
  wait_for(ms, [&] {
    if ((box = find_new_box())) return true;
    exited = exit_code_if_ended().has_value();
    return exited;
  });
  if (box) {
    boxes_.insert(box);
    HWND text = GetDlgItem(box, 0xFFFF);
    fail("a message box appeared: caption " + quote(title_of(box)) + ", text " +
         quote(text ? control_text(text).value_or("") : ""));
  }
  rec.num("for_ms", ms).flag("exited", exited);
}

void Driver::do_screenshot(const Value& s, Object& rec) {
  const std::string path = str_of(s, "path");
  RECT r = screen_rect();
  if (flag_of(s, "window")) {
    RECT w{};
    GetWindowRect(window(), &w);
    if (!IntersectRect(&r, &r, &w)) fail("the current window lies off the screen");
  }
  const auto shot = capture(r);
  write_bmp(*shot, path);
  rec.str("path", path)
      .raw("rect", json_rect(r))
      .num("width", shot->width())
      .num("height", shot->height());
}

void Driver::do_pixel(const Value& s, Object& rec) {
  const int x = static_cast<int>(int_of(s, "x", INT32_MIN, INT32_MAX));
  const int y = static_cast<int>(int_of(s, "y", INT32_MIN, INT32_MAX));
  POINT p{x, y};
  ClientToScreen(window(), &p);
  const auto shot = capture({p.x, p.y, p.x + 1, p.y + 1});
  rec.num("x", x)
      .num("y", y)
      .raw("screen", json_list({std::to_string(p.x), std::to_string(p.y)}))
      .str("color", color_name(shot->at(0, 0)));
}

void Driver::do_sleep(const Value& s, Object& rec) {
  const DWORD ms = static_cast<DWORD>(int_of(s, "ms", 0, kMaxTimeoutMs));
  wait_for(ms, [] { return false; });
  rec.num("ms", ms);
}

void Driver::do_wait_exit(const Value& s, Object& rec) {
  const DWORD ms = timeout(s);
  std::optional<DWORD> code;
  if (!wait_for(ms, [&] { return (code = exit_code_if_ended()).has_value(); }))
    fail("the program was still running after " + std::to_string(ms) + " ms");
  last_exit_ = code;
  rec.num("pid", program().pid).num("exit_code", *code);
}

void Driver::do_read_link(const Value& s, Object& rec) {
  const std::string path = str_of(s, "path");
  // Windows reads the show command from the header; so do we.
  unsigned char header[0x4C]{};
  {
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) fail(win_error("CreateFileA") + " for " + path);
    DWORD got = 0;
    if (!ReadFile(file.get(), header, sizeof header, &got, nullptr) || got != sizeof header ||
        header[0] != 0x4C)
      fail(path + " is not a shell link");
  }
  auto dword_at = [&](size_t off) {
    return static_cast<DWORD>(header[off] | header[off + 1] << 8 | header[off + 2] << 16 |
                              header[off + 3] << 24);
  };

  std::wstring wide(path.size() + 1, L'\0');
  const int n =
      MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
  if (n <= 0) fail(win_error("MultiByteToWideChar"));

  ComApartment apartment;
  ComPtr<IShellLinkA> link;
  ComPtr<IPersistFile> file;
  HRESULT hr =
      CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, link.put());
  if (FAILED(hr))
    fail("CoCreateInstance(ShellLink) failed, hr " +
         std::to_string(static_cast<unsigned long>(hr)));
  if (FAILED(hr = link->QueryInterface(IID_IPersistFile, file.put())))
    fail("QueryInterface(IPersistFile) failed, hr " +
         std::to_string(static_cast<unsigned long>(hr)));
  if (FAILED(hr = file->Load(wide.c_str(), STGM_READ)))
    fail("IPersistFile::Load failed, hr " + std::to_string(static_cast<unsigned long>(hr)));

  char target[MAX_PATH]{}, args[INFOTIPSIZE]{}, dir[MAX_PATH]{}, icon[MAX_PATH]{},
      desc[INFOTIPSIZE]{};
  int icon_index = 0;
  link->GetPath(target, sizeof target, nullptr, 0);
  link->GetArguments(args, sizeof args);
  link->GetWorkingDirectory(dir, sizeof dir);
  link->GetIconLocation(icon, sizeof icon, &icon_index);
  link->GetDescription(desc, sizeof desc);
  rec.str("path", path)
      .str("target", target)
      .str("arguments", args)
      .str("working_dir", dir)
      .str("icon_path", icon)
      .num("icon_index", icon_index)
      .str("description", desc)
      .num("show_cmd", dword_at(0x3C))
      .num("hotkey", header[0x40] | header[0x41] << 8);
}

std::optional<std::string> read_whole_file(const char* path) {
  std::FILE* f = std::fopen(path, "rb");
  if (!f) return std::nullopt;
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  std::fclose(f);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: driver.exe <script.json> <out.jsonl>\n");
    return kExitFailed;
  }
  Output out;
  if (!out.open(argv[2])) {
    std::fprintf(stderr, "driver: cannot write %s\n", argv[2]);
    return kExitFailed;
  }
  Driver driver(out);
  try {
    const auto text = read_whole_file(argv[1]);
    if (!text) fail(std::string("cannot read the script ") + argv[1]);
    driver.load(*text);
    driver.run();
    return driver.finish();
  } catch (const Failure& f) {
    driver.abort(f.what);
    std::fprintf(stderr, "driver: %s\n", f.what.c_str());
  } catch (const std::exception& e) {
    driver.abort(std::string("internal error: ") + e.what());
  }
  return kExitFailed;
}
