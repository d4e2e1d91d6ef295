// The UI driver proper: the step table (each step's name, handler and
// fields), the check of a whole script against it, and the steps, run one
// after another against the programs they start. Every step, field, record,
// exit code and timeout is documented at the top of driver.cpp: keep that
// comment and the table in steps.cpp in step.
#pragma once

#include "tests/driver/base.h"
#include "tests/driver/inspect.h"
#include "tests/driver/record.h"
#include "tests/driver/script.h"

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ui {

constexpr DWORD kDefaultTimeoutMs = 20000;
constexpr DWORD kMaxTimeoutMs = 3600000;  // a typo must not park a test run for days
constexpr int kExitFailed = 99;

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
  // and logs new windows until done() or the bound. A long wait may give a
  // cheap hint(): a value that changes when done() may have become true.
  template <class Done, class Hint = std::optional<unsigned> (*)()>
  bool wait_for(DWORD timeout_ms, Done&& done, Hint&& hint = NoHint);
  static std::optional<unsigned> NoHint() { return std::nullopt; }
  Wait waiter();  // wait_for for the icon readers of inspect.h
  void scan_windows();

  Program& program();
  std::optional<DWORD> exit_code_if_ended();
  void fail_if_ended(const std::string& waiting_for);

  HWND window();
  // Several pages may share control IDs; the visible one is what a user sees.
  // With `text`, only a control of exactly that text (a page's controls may
  // share an ID too).
  HWND find_control(int id, const std::string* text = nullptr);
  // find_control in two steps: the current window's controls of that ID, and
  // the one of them it picks.
  std::vector<HWND> controls_with_id(int id);
  HWND pick_control(const std::vector<HWND>& same_id, const std::string* text);
  HWND control(int id, const std::string* text = nullptr);
  HWND find_new_box();
  // CreateProcessA of the cmdline (and cwd and env of a step); false with the
  // failed call's text in `error`.
  bool launch(const Value& s, PROCESS_INFORMATION& pi, std::string& error);

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
  void do_run(const Value&, Object&);

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

}  // namespace ui
