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
//   start {cmdline, cwd?, env?}      -> {pid, cmdline}
//       CreateProcessA(NULL, cmdline verbatim, no handle inheritance). It
//       becomes "the program" of every later step, with no current window.
//       env: {"NAME": "value", ...} replaces or adds those variables in the
//       environment that the program gets (the driver's own otherwise).
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
//   controls {}                      -> {hwnd, focus, controls: [{hwnd, class, id, text,
//                                        enabled, visible, checked, position, rect,
//                                        style, client, ideal, end_char}]}
//       All descendants of the current window in z-order. text is null when
//       the control did not answer WM_GETTEXT; checked is BM_GETCHECK (0, 1,
//       2) for Button controls, null for others; position is PBM_GETPOS for
//       progress bars, null for others; rect is in the current window's
//       client coordinates. focus is the ID of the control that has the
//       keyboard focus in the window's thread, null when none of its has.
//       Whether a text fits its control: client is the control's client
//       size [w, h]; ideal the size [w, h] a Button needs for its text and
//       mark (BCM_GETIDEALSIZE; null for others); end_char for Edit
//       controls the character nearest the bottom right corner of the
//       client area (EM_CHARFROMPOS), the text's length when all of it
//       shows; null for others.
//   wait_control {id, text?, contains?, enabled?, visible?, checked?, position?,
//                 timeout_ms?}       -> {control: {...as in controls}}
//       Waits until a control with that id has every given property
//       (contains: a part of its text). Among controls that share the id,
//       text picks the one it names.
//   click {id, text?, force?}        -> {id, hwnd}
//       Posts BM_CLICK (to the control of that id and text, when given). A
//       hidden or disabled control fails the step (a user could not click
//       it) unless force is true.
//   set_text {id, text}              -> {id, hwnd, text}   WM_SETTEXT (edits raise EN_CHANGE)
//   post {msg, wparam?, lparam?, x?, y?, target_id?}
//                                    -> {hwnd, msg, wparam, lparam}
//       PostMessageA to the current window or its control target_id. msg is a
//       number or a name: WM_CLOSE, WM_COMMAND, WM_KEYDOWN, WM_KEYUP, WM_CHAR,
//       WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP, WM_RBUTTONDOWN,
//       WM_RBUTTONUP, WM_MOUSELEAVE, WM_SYSCOMMAND, WM_NULL. x and y build
//       lparam as MAKELPARAM(x, y) (client coordinates of the target).
//   close {}                         -> {hwnd}   posts WM_CLOSE to the current window
//   box {press?, optional?, timeout_ms?}        -> {hwnd, owner, caption, text, icon,
//                                        buttons: [{id, text}], pressed?}
//       Waits for a visible top-level "#32770" window of the program that no
//       earlier box step reported. owner is the window that owns it (0 for
//       none). text is the static with ID 0xFFFF (null if none); icon is "error", "warning", "question", "information", "none",
//       or "unknown" (Wine gives each process its own copy of the stock
//       icons and refuses to read another's, so the box's icon as painted is
//       compared with the driver's own copies); buttons are the visible
//       buttons left to right. press
//       ("ok", "cancel", "abort", "retry", "ignore", "yes", "no", "close",
//       "help", "tryagain", "continue", or a control ID) posts BM_CLICK to that
//       button; a box without it fails the step. optional: true makes a
//       missing box ({none: true} then) or the program's end no failure, and
//       a box without that button gets its first one pressed instead.
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
//   run {cmdline, cwd?, env?, press?, timeout_ms?}
//                                    -> {cmdline, pid, boxes: [{caption, text, pressed?}],
//                                        exit_code, timed_out}  or  {cmdline, start_error}
//       One whole run of a program, whatever it does, so that one script can
//       hold many runs: started as by start, every new message box of it is
//       recorded and answered with press (default "ok"; a box without that
//       button stays open), until it exits or timeout_ms is up (then it is
//       terminated: exit_code 99, timed_out true). A program that cannot be
//       started (a file the system refuses to load) gives start_error, the
//       failed call's text. Nothing the program does fails the step.
// Records the driver writes on its own:
//   seen_window {pid, hwnd, class, title}: once per top-level window of a
//       started program, when it is first seen visible; checked on every
//       poll of every wait and after every step.
//   {error}: under the failed step's index and name ("script" and -1 for
//       invalid JSON), the last record before exit 99.
//   end {exit_code, terminated: [pids]}: the script ran to its end.
//
// The code, one concern per file (each says what it is for; this comment is
// the one description of the script language): steps.h/.cpp the step table
// and the steps; script.h/.cpp reading the script; record.h/.cpp writing the
// records; inspect.h/.cpp windows, controls, message boxes and their icons;
// capture.h/.cpp screenshots and pixels; shell_link.h/.cpp read_link;
// base.h failures and handles; driver.cpp this comment and main.

#include "tests/driver/base.h"
#include "tests/driver/record.h"
#include "tests/driver/steps.h"

#include <cstdio>
#include <exception>
#include <optional>
#include <string>

namespace {

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
    return ui::kExitFailed;
  }
  ui::Output out;
  if (!out.open(argv[2])) {
    std::fprintf(stderr, "driver: cannot write %s\n", argv[2]);
    return ui::kExitFailed;
  }
  ui::Driver driver(out);
  try {
    const auto text = read_whole_file(argv[1]);
    if (!text) ui::fail(std::string("cannot read the script ") + argv[1]);
    driver.load(*text);
    driver.run();
    return driver.finish();
  } catch (const ui::Failure& f) {
    driver.abort(f.what);
    std::fprintf(stderr, "driver: %s\n", f.what.c_str());
  } catch (const std::exception& e) {
    driver.abort(std::string("internal error: ") + e.what());
  }
  return ui::kExitFailed;
}
