// The step table and the steps of the UI driver; see steps.h, and the top of
// driver.cpp for the script language.
#include "tests/driver/steps.h"

#include "tests/driver/capture.h"
#include "tests/driver/shell_link.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

namespace ui {

namespace {

// A poll costs the machine about a millisecond of CPU under Wine (the window
// list, the controls, the driver's own messages), which the program being
// driven shares: polled every 10 ms it lost a sixth of a CPU to the driver.
// A wait polls that often only in its first moments, where most waits end
// (a page after a click); a long one (an installation at work) polls less
// often. The program's end wakes any wait at once, and a wait that has a
// cheap hint (the enabled and visible states of the controls it watches)
// reads it every 10 ms between polls and polls at once when it changes.
constexpr DWORD kPollMs = 10;
constexpr DWORD kQuickPollsForMs = 250;
constexpr DWORD kSlowPollMs = 40;
constexpr DWORD kHintedPollMs = 120;
constexpr DWORD kKillWaitMs = 5000;

}  // namespace

template <class Done, class Hint>
bool Driver::wait_for(DWORD timeout_ms, Done&& done, Hint&& hint) {
  const ULONGLONG start = GetTickCount64(), deadline = start + timeout_ms;
  for (;;) {
    pump_messages();
    scan_windows();
    clear_unresponsive();  // a busy program may have come back since
    if (done()) return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    const bool quick = now - start < kQuickPollsForMs;
    const std::optional<unsigned> hinted = quick ? std::nullopt : hint();
    const ULONGLONG next_poll =
        std::min(deadline, now + (quick ? kPollMs : hinted ? kHintedPollMs : kSlowPollMs));
    for (ULONGLONG t = now; t < next_poll; t = GetTickCount64()) {
      HANDLE running = programs_.empty() ? nullptr : program().process.get();
      if (running && WaitForSingleObject(running, 0) == WAIT_OBJECT_0) running = nullptr;
      const DWORD slice = static_cast<DWORD>(std::min<ULONGLONG>(next_poll - t, kPollMs));
      if (MsgWaitForMultipleObjects(running ? 1 : 0, &running, FALSE, hinted ? slice : next_poll - t,
                                    QS_ALLINPUT) != WAIT_TIMEOUT ||
          (hinted && hint() != hinted)) {
        break;
      }
    }
  }
}

Wait Driver::waiter() {
  return [this](DWORD ms, const std::function<bool()>& done) { return wait_for(ms, done); };
}

void Driver::scan_windows() {
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

Driver::Program& Driver::program() {
  if (programs_.empty()) fail("no program started yet");
  return programs_[current_program_];
}

std::optional<DWORD> Driver::exit_code_if_ended() {
  HANDLE h = program().process.get();
  if (WaitForSingleObject(h, 0) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  GetExitCodeProcess(h, &code);
  return code;
}

void Driver::fail_if_ended(const std::string& waiting_for) {
  if (const auto code = exit_code_if_ended())
    fail("the program exited with code " + std::to_string(*code) + " while waiting for " +
         waiting_for);
}

HWND Driver::window() {
  if (!current_) fail("no current window: use wait_window first");
  if (!IsWindow(current_)) fail("the current window is gone");
  return current_;
}

std::vector<HWND> Driver::controls_with_id(int id) {
  std::vector<HWND> found;
  for (HWND c : descendants(window()))
    if (GetDlgCtrlID(c) == id) found.push_back(c);
  return found;
}

HWND Driver::pick_control(const std::vector<HWND>& same_id, const std::string* text) {
  HWND hidden = nullptr;
  for (HWND c : same_id) {
    if (text && control_text(c) != *text) continue;
    if (IsWindowVisible(c)) return c;
    if (!hidden) hidden = c;
  }
  return hidden;
}

HWND Driver::find_control(int id, const std::string* text) {
  return pick_control(controls_with_id(id), text);
}

HWND Driver::control(int id, const std::string* text) {
  HWND c = find_control(id, text);
  if (!c)
    fail("the current window has no control with id " + std::to_string(id) +
         (text ? " and text " + quote(*text) : ""));
  return c;
}

HWND Driver::find_new_box() {
  const DWORD pid = program().pid;
  for (HWND h : top_windows())
    if (!boxes_.count(h) && IsWindowVisible(h) && pid_of(h) == pid && class_of(h) == "#32770")
      return h;
  return nullptr;
}

const std::vector<Driver::StepKind>& Driver::kinds() {
  constexpr long long kMaxId = 0xFFFF, kMaxMs = kMaxTimeoutMs;
  constexpr Field kTimeout{"timeout_ms", Type::Int, false, 0, kMaxMs};
  constexpr Field kId{"id", Type::Int, true, 0, kMaxId};
  static const std::vector<StepKind> table = {
      {"start",
       &Driver::do_start,
       {{"cmdline", Type::Str, true}, {"cwd", Type::Str}, {"env", Type::Strings}}},
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
        {"contains", Type::Str},
        {"position", Type::Int, false, 0, 100},
        kTimeout}},
      {"click", &Driver::do_click, {kId, {"text", Type::Str}, {"force", Type::Bool}}},
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
      {"box", &Driver::do_box, {{"press", Type::Button, false, 0, kMaxId}, {"optional", Type::Bool}, kTimeout}},
      {"no_box", &Driver::do_no_box, {{"for_ms", Type::Int, true, 0, kMaxMs}}},
      {"screenshot", &Driver::do_screenshot, {{"path", Type::Str, true}, {"window", Type::Bool}}},
      {"pixel",
       &Driver::do_pixel,
       {{"x", Type::Int, true, INT32_MIN, INT32_MAX},
        {"y", Type::Int, true, INT32_MIN, INT32_MAX}}},
      {"sleep", &Driver::do_sleep, {{"ms", Type::Int, true, 0, kMaxMs}}},
      {"wait_exit", &Driver::do_wait_exit, {kTimeout}},
      {"read_link", &Driver::do_read_link, {{"path", Type::Str, true}}},
      {"run",
       &Driver::do_run,
       {{"cmdline", Type::Str, true},
        {"cwd", Type::Str},
        {"env", Type::Strings},
        {"press", Type::Button, false, 0, kMaxId},
        kTimeout}},
  };
  return table;
}

void Driver::load(const std::string& text) {
  script_ = parse_json(text);
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
      const bool strings = v.kind == Value::Kind::Object &&
                           std::all_of(v.members.begin(), v.members.end(), [](const auto& m) {
                             return m.second.kind == Value::Kind::String;
                           });
      const bool ok = (f->type == Type::Strings && strings) ||
                      (f->type == Type::Str && v.kind == Value::Kind::String) ||
                      (f->type == Type::Bool && v.kind == Value::Kind::Bool) ||
                      ((f->type == Type::Int || named) && v.kind == Value::Kind::Number) ||
                      (named && v.kind == Value::Kind::String);
      if (!ok)
        fail("\"" + key + "\" must be " +
             (f->type == Type::Str       ? "a string"
              : f->type == Type::Strings ? "an object of strings"
              : f->type == Type::Bool    ? "true or false"
              : f->type == Type::Int     ? "an integer"
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
    clear_unresponsive();
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

bool Driver::launch(const Value& s, PROCESS_INFORMATION& pi, std::string& error) {
  const std::string cmdline = str_of(s, "cmdline"), cwd = str_of(s, "cwd");
  std::vector<char> buf(cmdline.begin(), cmdline.end());
  buf.push_back('\0');  // CreateProcessA may write into the command line
  // The driver's environment with the step's variables in place of their
  // namesakes (names compare without regard to case, as Windows compares them).
  std::vector<char> block;
  if (const Value* env = s.find("env")) {
    std::vector<std::string> vars;
    char* own = GetEnvironmentStringsA();
    for (const char* e = own; *e; e += strlen(e) + 1) {
      const char* eq = strchr(e + 1, '=');
      const std::string name(e, eq ? eq - e : strlen(e));
      if (std::none_of(env->members.begin(), env->members.end(), [&](const auto& m) {
            return lstrcmpiA(m.first.c_str(), name.c_str()) == 0;
          }))
        vars.emplace_back(e);
    }
    FreeEnvironmentStringsA(own);
    for (const auto& [name, value] : env->members) vars.push_back(name + "=" + value.text);
    std::sort(vars.begin(), vars.end(), [](const std::string& a, const std::string& b) {
      return lstrcmpiA(a.c_str(), b.c_str()) < 0;
    });
    for (const std::string& v : vars)
      block.insert(block.end(), v.c_str(), v.c_str() + v.size() + 1);
    block.push_back('\0');
  }
  STARTUPINFOA si{};
  si.cb = sizeof si;
  pi = {};
  if (!CreateProcessA(nullptr, buf.data(), nullptr, nullptr, FALSE, 0,
                      block.empty() ? nullptr : block.data(), cwd.empty() ? nullptr : cwd.c_str(),
                      &si, &pi)) {
    error = win_error("CreateProcessA");
    return false;
  }
  CloseHandle(pi.hThread);
  programs_.push_back({UniqueHandle(pi.hProcess), pi.dwProcessId});
  current_program_ = programs_.size() - 1;
  current_ = nullptr;
  return true;
}

void Driver::do_start(const Value& s, Object& rec) {
  PROCESS_INFORMATION pi;
  std::string error;
  if (!launch(s, pi, error)) fail(error);
  rec.num("pid", pi.dwProcessId).str("cmdline", str_of(s, "cmdline"));
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
  const std::optional<bool> icon = window_icon(found, waiter());
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
  // The keyboard focus of the window's thread, as a control ID (null: none of its).
  GUITHREADINFO gui{};
  gui.cbSize = sizeof gui;
  const bool focus = GetGUIThreadInfo(GetWindowThreadProcessId(top, nullptr), &gui) &&
                     gui.hwndFocus && IsChild(top, gui.hwndFocus);
  rec.num("hwnd", handle_number(top))
      .raw("focus", focus ? std::to_string(GetDlgCtrlID(gui.hwndFocus)) : "null")
      .raw("controls", json_list(list));
}

void Driver::do_wait_control(const Value& s, Object& rec) {
  const int id = static_cast<int>(int_of(s, "id", 0, 0xFFFF));
  const DWORD ms = timeout(s);
  HWND found = nullptr;
  const Value* wanted = s.find("text");
  const Value* v;
  // What the driver reads without a message to the program comes first: every
  // message must wait for the program's thread to take it, so a poll that
  // asked for texts while a button is still disabled (a wizard at work) would
  // slow down the very run it waits for.
  auto window_state_fits = [&](HWND c) {
    return !((v = s.find("enabled")) && v->boolean != !!IsWindowEnabled(c)) &&
           !((v = s.find("visible")) && v->boolean != !!IsWindowVisible(c));
  };
  std::vector<HWND> same_id;
  // Between polls: the states of the controls the last poll found.
  auto states = [&]() -> std::optional<unsigned> {
    unsigned bits = 1;
    for (HWND c : same_id) bits = bits << 2 | !!IsWindowEnabled(c) << 1 | !!IsWindowVisible(c);
    return bits;
  };
  const bool ok = wait_for(ms, [&] {
    same_id = controls_with_id(id);
    if (std::none_of(same_id.begin(), same_id.end(), window_state_fits)) return false;
    HWND c = pick_control(same_id, wanted ? &wanted->text : nullptr);
    if (!c || !window_state_fits(c)) return false;
    if ((v = s.find("contains"))) {
      const auto text = control_text(c);
      if (!text || text->find(v->text) == std::string::npos) return false;
    }
    if ((v = s.find("checked"))) {
      const auto checked = check_state(c);
      if (!checked || *checked != as_int(*v, "checked")) return false;
    }
    if ((v = s.find("position"))) {
      const auto position = bar_position(c);
      if (!position || *position != as_int(*v, "position")) return false;
    }
    found = c;
    return true;
  }, states);
  if (!ok) {
    std::string last = "no such control";
    if (HWND c = find_control(id, wanted ? &wanted->text : nullptr)) {
      const auto text = control_text(c);
      const auto checked = check_state(c);
      const auto position = bar_position(c);
      last = "text " + (text ? quote(*text) : "null") + ", enabled " +
             (IsWindowEnabled(c) ? "true" : "false") + ", visible " +
             (IsWindowVisible(c) ? "true" : "false") + ", checked " +
             (checked ? std::to_string(*checked) : "null") + ", position " +
             (position ? std::to_string(*position) : "null");
    }
    fail("control " + std::to_string(id) + " did not reach the wanted state within " +
         std::to_string(ms) + " ms (last seen: " + last + ")");
  }
  rec.raw("control", describe_control(found, window()));
}

void Driver::do_click(const Value& s, Object& rec) {
  const int id = static_cast<int>(int_of(s, "id", 0, 0xFFFF));
  const Value* text = s.find("text");
  HWND c = control(id, text ? &text->text : nullptr);
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

void Driver::do_box(const Value& s, Object& rec) {
  const DWORD ms = timeout(s);
  const bool optional = flag_of(s, "optional");
  HWND box = nullptr;
  const bool ok = wait_for(ms, [&] {
    if ((box = find_new_box())) return true;
    if (optional && exit_code_if_ended()) return true;
    fail_if_ended("a message box");
    return false;
  });
  if ((!ok || !box) && optional) {
    rec.raw("none", "true");
    return;
  }
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
      .num("owner", handle_number(GetWindow(box, GW_OWNER)))
      .str("caption", title_of(box))
      .opt_str("text", text ? control_text(text) : std::nullopt)
      .str("icon", icon_kind(box, waiter()))
      .raw("buttons", json_list(listed));

  if (const Value* press = s.find("press")) {
    const int id = static_cast<int>(id_of(*press, "press", kButtonNames));
    auto b = std::find_if(buttons.begin(), buttons.end(), [&](const Button& b) { return b.id == id; });
    if (b == buttons.end() && optional && !buttons.empty()) b = buttons.begin();
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
  const ShellLink link = read_link(path);
  rec.str("path", path)
      .str("target", link.target)
      .str("arguments", link.arguments)
      .str("working_dir", link.working_dir)
      .str("icon_path", link.icon_path)
      .num("icon_index", link.icon_index)
      .str("description", link.description)
      .num("show_cmd", link.show_cmd)
      .num("hotkey", link.hotkey);
}

void Driver::do_run(const Value& s, Object& rec) {
  rec.str("cmdline", str_of(s, "cmdline"));
  PROCESS_INFORMATION pi;
  std::string error;
  if (!launch(s, pi, error)) {
    rec.str("start_error", error);
    return;
  }
  const UINT press = s.find("press") ? id_of(need(s, "press"), "press", kButtonNames) : IDOK;
  std::vector<std::string> boxes;
  std::optional<DWORD> code;
  const bool ended = wait_for(timeout(s), [&] {
    if ((code = exit_code_if_ended())) return true;
    if (HWND box = find_new_box()) {
      boxes_.insert(box);
      HWND text = GetDlgItem(box, 0xFFFF);
      Object b;
      b.str("caption", title_of(box)).opt_str("text", text ? control_text(text) : std::nullopt);
      // A box without the button stays open until the run's time is up.
      if (HWND button = GetDlgItem(box, static_cast<int>(press));
          button && IsWindowVisible(button) && PostMessageA(button, BM_CLICK, 0, 0))
        b.num("pressed", press);
      boxes.push_back(b.json());
    }
    return false;
  });
  if (!ended) {
    TerminateProcess(program().process.get(), kExitFailed);
    WaitForSingleObject(program().process.get(), kKillWaitMs);
    code = kExitFailed;
  }
  rec.num("pid", pi.dwProcessId)
      .raw("boxes", json_list(boxes))
      .num("exit_code", *code)
      .flag("timed_out", !ended);
}

}  // namespace ui
