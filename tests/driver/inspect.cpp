// Looking at another process's windows; see inspect.h.
#include "tests/driver/inspect.h"

#include "tests/driver/capture.h"
#include "tests/driver/record.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <set>

namespace ui {

namespace {

constexpr DWORD kSendTimeoutMs = 5000;  // per message sent to another process
constexpr DWORD kIconSettleMs = 2000;   // a window shown a moment ago may not be painted yet

BOOL CALLBACK collect_window(HWND h, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(h);
  return TRUE;
}

}  // namespace

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

namespace {

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

}  // namespace

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

std::optional<DWORD_PTR> send_bounded(HWND h, UINT msg, WPARAM wparam, LPARAM lparam) {
  const auto job = send_bounded(std::make_shared<SendJob>(h, msg, wparam, lparam));
  return job ? std::optional<DWORD_PTR>(job->result) : std::nullopt;
}

void clear_unresponsive() {
  g_unresponsive.clear();
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

namespace {

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

}  // namespace

std::optional<int> check_state(HWND h) {
  if (!is_class(h, "Button")) return std::nullopt;
  const auto state = send_bounded(h, BM_GETCHECK);
  return state ? std::optional<int>(static_cast<int>(*state)) : std::nullopt;
}

std::optional<int> bar_position(HWND h) {
  if (!is_class(h, "msctls_progress32")) return std::nullopt;
  const auto position = send_bounded(h, PBM_GETPOS);
  return position ? std::optional<int>(static_cast<int>(*position)) : std::nullopt;
}

namespace {

// A button's ideal size (BCM_GETIDEALSIZE): the room its text and its check
// mark need. The message carries a pointer, so the answer is written into
// memory of the program's own and read back from there.
std::string ideal_size(HWND h) {
  if (!is_class(h, "Button")) return "null";
  UniqueHandle process(
      OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid_of(h)));
  void* remote = process ? VirtualAllocEx(process.get(), nullptr, sizeof(SIZE),
                                          MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)
                         : nullptr;
  if (!remote) return "null";
  SIZE size{};  // no width given: the text on one line
  const bool written = WriteProcessMemory(process.get(), remote, &size, sizeof size, nullptr);
  const auto answer = written
                          ? send_bounded(h, BCM_GETIDEALSIZE, 0, reinterpret_cast<LPARAM>(remote))
                          : std::nullopt;
  // Unanswered, the program may still write there later: the memory stays.
  if (written && !answer) return "null";
  const bool read =
      answer && *answer && ReadProcessMemory(process.get(), remote, &size, sizeof size, nullptr);
  VirtualFreeEx(process.get(), remote, 0, MEM_RELEASE);
  return read ? "[" + std::to_string(size.cx) + "," + std::to_string(size.cy) + "]" : "null";
}

// The character of an edit control nearest its client area's bottom right
// corner (EM_CHARFROMPOS): the text's length when the whole text shows.
std::string end_char(HWND h, const RECT& client) {
  if (!is_class(h, "Edit")) return "null";
  const LPARAM corner = MAKELPARAM(std::max(0L, client.right - 1), std::max(0L, client.bottom - 1));
  const auto at = send_bounded(h, EM_CHARFROMPOS, 0, corner);
  return at ? std::to_string(LOWORD(*at)) : "null";
}

}  // namespace

std::string describe_control(HWND c, HWND top) {
  Object o;
  o.num("hwnd", handle_number(c))
      .str("class", class_of(c))
      .num("id", GetDlgCtrlID(c))
      .opt_str("text", control_text(c))
      .flag("enabled", IsWindowEnabled(c))
      .flag("visible", IsWindowVisible(c));
  const auto checked = check_state(c);
  const auto position = bar_position(c);
  o.raw("checked", checked ? std::to_string(*checked) : "null")
      .raw("position", position ? std::to_string(*position) : "null")
      .raw("rect", json_rect(rect_in_client(c, top)))
      .num("style", static_cast<DWORD>(GetWindowLongA(c, GWL_STYLE)));
  RECT client{};
  GetClientRect(c, &client);
  o.raw("client", "[" + std::to_string(client.right) + "," + std::to_string(client.bottom) + "]")
      .raw("ideal", ideal_size(c))
      .raw("end_char", end_char(c, client));
  return o.json();
}

// ---------------------------------------------------------------- icons

namespace {

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

}  // namespace

std::string icon_kind(HWND box, const Wait& wait) {
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
  wait(kIconSettleMs, [&] {
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
std::optional<bool> window_icon(HWND h, const Wait& wait) {
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
  wait(kIconSettleMs, [&] {
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

}  // namespace ui
