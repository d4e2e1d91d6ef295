#include "wininst/core/frame.h"

#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include <cstdlib>
#include <cstring>

#include "common/alloc.h"
#include "common/handle.h"
#include "wininst/core/entry.h"
#include "wininst/core/messages.h"
#include "wininst/pages/pages.h"
#include "wininst/core/variables.h"

namespace {

using Font = Handle<HFONT, DeleteObject>;
using Bitmap = Handle<HBITMAP, DeleteObject>;
using MemoryDC = Handle<HDC, DeleteDC>;

constexpr COLORREF kTextGrey = 0x5A5A5A;
constexpr COLORREF kLinkBlue = 0xFF4000;
constexpr COLORREF kLinkHover = 0x0040FF;
constexpr POINT kBuildNoAt = {36, 435};

PageDescriptor pages[kPageCount] = {
    {1, "Welcome", "Preparing to install", WelcomePage},
    {1, "Installdir", "Choose installation folder", InstDirPage},
    {1, "Copyfiles", "Installing new files", ProgressPage},
    {1, "Complete", "Installation complete", CompletionPage},
};

int current = -1;
bool no_way_back;

HWND frame;
HWND back_button;
HWND next_button;
HWND cancel_button;

TextHandle page_text;
RECT text_rect;

// The DC goes before the bitmap selected into it.
Bitmap background;
MemoryDC background_dc;
int background_offset;

struct Link {
  const char* text;
  const char* variable;  // names the address; the link is live while it is set
  RECT rect;
  Font font;
  bool hover;
};
Link help_link{"On-line help", "InstallerHelp", {}, {}, false};
Link ordering_link{"Ordering Information", "OrderingURL", {}, {}, false};

Font text_font;
Font build_font;

unsigned unit_x;
unsigned unit_y;

HWND busy_box;
bool busy_shown;
HCURSOR saved_cursor;

HWND splash;

HINSTANCE Instance() {
  return GetModuleHandleA(nullptr);
}

HFONT GuiFont() {
  return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

LOGFONTA GuiLogFont() {
  LOGFONTA font{};
  GetObjectA(GuiFont(), sizeof font, &font);
  return font;
}

// A window's DC for the length of a scope, with the font it had put back.
class WindowDC {
 public:
  explicit WindowDC(HWND window) : window_(window), dc_(GetDC(window)) {}
  ~WindowDC() {
    if (old_font_) SelectObject(dc_, old_font_);
    ReleaseDC(window_, dc_);
  }
  WindowDC(const WindowDC&) = delete;
  WindowDC& operator=(const WindowDC&) = delete;
  HDC get() const { return dc_; }
  void Select(HGDIOBJ font) {
    HGDIOBJ old = SelectObject(dc_, font);
    if (!old_font_) old_font_ = old;
  }

 private:
  HWND window_;
  HDC dc_;
  HGDIOBJ old_font_ = nullptr;
};

// Height and width of the 52 letters in `font`, selected into `dc`.
void MeasureFont(WindowDC& dc, HGDIOBJ font, unsigned* height, unsigned* width) {
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  dc.Select(font);
  TEXTMETRICA metrics{};
  SIZE extent{};
  GetTextMetricsA(dc.get(), &metrics);
  GetTextExtentPoint32A(dc.get(), kLetters, 52, &extent);
  *height = static_cast<unsigned>(metrics.tmHeight);
  *width = static_cast<unsigned>(extent.cx);
}

// Horizontal units scale with the GUI font's width against the system font's,
// vertical ones with its height, so the layout follows the GUI font.
void ComputeLayoutUnits() {
  const LONG base = GetDialogBaseUnits();
  const unsigned bx = LOWORD(base);
  const unsigned by = HIWORD(base);
  unsigned hs, ws, hg, wg;
  {
    WindowDC dc(frame);  // the screen's DC before the frame exists
    MeasureFont(dc, GetStockObject(SYSTEM_FONT), &hs, &ws);
    MeasureFont(dc, GuiFont(), &hg, &wg);
  }
  // Without font metrics the dialog base units are the best guess left.
  unit_x = ws ? bx * wg / ws : bx;
  unit_y = hs ? hg * by / hs : by;
}

LRESULT SendToPage(int page, UINT message, bool forward) {
  return pages[page].procedure(frame, message, forward ? 1 : 0, 0);
}

void SetButtonsFor(int page) {
  if (page == kLastPage) {
    SetWindowTextA(next_button, "Finish");
    EnableWindow(cancel_button, FALSE);
    // Nothing lies behind the completion page, whatever the pages answered.
    EnableWindow(back_button, FALSE);
  } else {
    SetWindowTextA(next_button, "Next");
    const bool back = page != 0 && !no_way_back && !(page == 1 && IsTrue("DoProceed"));
    EnableWindow(back_button, back);
  }
  InvalidateRect(frame, nullptr, TRUE);
}

bool Enabled(int page) {
  return (pages[page].enabled & 0xFF) != 0;
}

int NextTarget() {
  for (int page = current + 1; page < kPageCount; page++) {
    if (Enabled(page)) return page;
  }
  return kPageCount;
}

// Page 0 is taken even when disabled; from page 0 there is nowhere to go.
int BackTarget() {
  int page = current - 1;
  while (page > 0 && !Enabled(page)) page--;
  return page;
}

void Command(int id) {
  switch (id) {
    case kCancelButton:
      // Escape sends this even while the button is greyed out, as it is on the
      // completion page: there the run has succeeded and must not end as cancelled.
      if (!IsWindowEnabled(cancel_button)) return;
      if (ConfirmCancel()) {
        EndRun(1);
        ExitProcess(1);
      }
      return;
    case kNextButton:
      GoToPage(NextTarget());
      return;
    case kBackButton:
      GoToPage(BackTarget());
      return;
  }
}

bool IsCommand(int id) {
  return id == kCancelButton || id == kNextButton || id == kBackButton;
}

void DrawLink(HDC dc, const Link& link) {
  SelectObject(dc, link.font.get());
  SetTextColor(dc, link.hover ? kLinkHover : kLinkBlue);
  TextOutA(dc, link.rect.left, link.rect.top, link.text, static_cast<int>(strlen(link.text)));
}

void Paint(HWND window) {
  if (!text_font) {
    LOGFONTA font = GuiLogFont();
    build_font.reset(CreateFontIndirectA(&font));
    font.lfHeight += font.lfHeight / 3;
    text_font.reset(CreateFontIndirectA(&font));
  }
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  const HGDIOBJ old_font = SelectObject(dc, text_font.get());
  SetBkMode(dc, TRANSPARENT);
  if (page_text) {
    SetTextColor(dc, kTextGrey);
    RECT rect = text_rect;
    // Product names may hold "&", which is no mnemonic here.
    DrawTextA(dc, page_text.get(), -1, &rect, DT_WORDBREAK | DT_NOPREFIX);
  }
  if (GetVariable(help_link.variable)) DrawLink(dc, help_link);
  if (GetVariable(ordering_link.variable)) DrawLink(dc, ordering_link);
  if (const char* build = GetVariable("BuildNo")) {
    SelectObject(dc, build_font.get());
    SetTextColor(dc, kTextGrey);
    TextOutA(dc, kBuildNoAt.x, kBuildNoAt.y, build, static_cast<int>(strlen(build)));
  }
  SelectObject(dc, old_font);
  EndPaint(window, &paint);
}

void EraseBackground(HWND window, HDC dc) {
  RECT client;
  GetClientRect(window, &client);
  // Without a picture, or beside a narrower one, the class's brush paints:
  // an unpainted frame would show whatever lay on the screen before.
  if (!background_dc || background_offset < 0) {
    HBRUSH brush = reinterpret_cast<HBRUSH>(GetClassLongPtrA(window, GCLP_HBRBACKGROUND));
    FillRect(dc, &client, brush ? brush : GetSysColorBrush(COLOR_WINDOW));
  }
  if (background_dc) {
    BitBlt(dc, 0, 0, client.right, client.bottom, background_dc.get(), background_offset, 0, SRCCOPY);
  }
}

POINT PointOf(LPARAM lparam) {
  return {GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
}

// The help link's hover state is tracked even while it is not shown.
bool TrackLinks(LPARAM lparam) {
  const POINT point = PointOf(lparam);
  const bool over_help = PtInRect(&help_link.rect, point);
  if (over_help != help_link.hover) {
    help_link.hover = over_help;
    InvalidateRect(frame, &help_link.rect, TRUE);
    return true;
  }
  if (GetVariable(ordering_link.variable)) {
    const bool over_ordering = PtInRect(&ordering_link.rect, point);
    if (over_ordering != ordering_link.hover) {
      ordering_link.hover = over_ordering;
      InvalidateRect(frame, &ordering_link.rect, TRUE);
      return true;
    }
  }
  return false;
}

bool OpenLink(LPARAM lparam) {
  const POINT point = PointOf(lparam);
  const char* address = nullptr;
  for (const Link* link : {&help_link, &ordering_link}) {
    const char* value = GetVariable(link->variable);
    if (value && PtInRect(&link->rect, point)) {
      address = value;
      break;
    }
  }
  if (!address) return false;
  // The address is used as written: no [Name] expansion.
  ShellExecuteA(GetDesktopWindow(), "open", address, nullptr, nullptr, SW_SHOWNORMAL);
  return true;
}

HICON FrameIcon() {
  if (HICON icon = LoadIconA(nullptr, "MERIDOX_ICON")) return icon;
  const char* file = GetVariable("ICON");
  if (!file) return nullptr;
  return static_cast<HICON>(
      LoadImageA(nullptr, file, IMAGE_ICON, 0, 0, LR_LOADFROMFILE | LR_DEFAULTSIZE));
}

bool RegisterFrameClass() {
  WNDCLASSA window_class{};
  if (!GetClassInfoA(nullptr, "#32771", &window_class)) {
    window_class = {};
    window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  }
  window_class.lpfnWndProc = FrameProc;
  window_class.hInstance = Instance();
  window_class.hIcon = FrameIcon();
  window_class.lpszMenuName = nullptr;
  window_class.lpszClassName = kFrameClass;
  return RegisterClassA(&window_class) != 0;
}

void LoadBackground(int frame_width) {
  background_dc.reset();
  background.reset();
  background_offset = 0;
  const char* file = GetVariable("BACKGROUND");
  if (!file) return;
  background.reset(
      static_cast<HBITMAP>(LoadImageA(nullptr, file, IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE)));
  if (!background) return;
  // The picture's right edge meets the frame's: a wider picture shows its
  // right-hand part (a narrower one leaves a strip at the left unpainted).
  BITMAP info;
  if (GetObjectA(background.get(), sizeof info, &info)) {
    background_offset = info.bmWidth - frame_width;
  }
  WindowDC dc(frame);
  background_dc.reset(CreateCompatibleDC(dc.get()));
  if (background_dc) SelectObject(background_dc.get(), background.get());
}

void PlaceLink(Link& link, int top, int bottom) {
  LOGFONTA font = GuiLogFont();
  font.lfUnderline = TRUE;
  link.font.reset(CreateFontIndirectA(&font));
  link.rect = {25, top, 25, bottom};
  DialogToPixels(&link.rect);
  WindowDC dc(frame);
  dc.Select(link.font.get());
  SIZE extent{};
  GetTextExtentPoint32A(dc.get(), link.text, static_cast<int>(strlen(link.text)), &extent);
  link.rect.right = link.rect.left + extent.cx;
  link.hover = false;
}

HWND MakeButton(const char* text, int id, int x, DWORD style) {
  style |= WS_CHILD;
  HWND button =
      CreateWindowExA(0, "BUTTON", text, style, 0, 0, 0, 0, frame,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), Instance(), nullptr);
  PlaceControl(button, x, 250, 40, 15, style);
  return button;
}

}  // namespace

PageDescriptor* PageTable() {
  return pages;
}
HWND FrameWindow() {
  return frame;
}
HWND NextButton() {
  return next_button;
}
HWND BackButton() {
  return back_button;
}
int CurrentPage() {
  return current;
}

FrameStatus CreateFrame() {
  current = -1;
  no_way_back = false;
  page_text.reset();

  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);
  if (!RegisterFrameClass()) return FrameStatus::kClassNotRegistered;

  RECT size{0, 0, 400, 300};
  DialogToPixels(&size);
  RECT desktop;
  GetWindowRect(GetDesktopWindow(), &desktop);
  const int x = (desktop.right - desktop.left - size.right) / 2;
  const int y = (desktop.bottom - desktop.top - size.bottom) / 2;

  const char* description = GetVariable("Description");
  TextHandle title(xstrcat("Installing ", description ? description : ""));
  // An overlapped window: the system adds the caption; no system menu, no
  // sizing border, no minimise or maximise box.
  frame = CreateWindowExA(WS_EX_CONTROLPARENT, kFrameClass, title.get(), WS_DLGFRAME, x, y,
                          size.right, size.bottom, nullptr, nullptr, Instance(), nullptr);
  if (!frame) return FrameStatus::kWindowNotCreated;
  SetMessageOwner(frame);

  LoadBackground(size.right);
  PlaceLink(help_link, 248, 256);
  PlaceLink(ordering_link, 258, 266);
  text_rect = {25, 75, 375, 250};
  DialogToPixels(&text_rect);

  back_button = MakeButton("< Back", kBackButton, 244, WS_TABSTOP | WS_GROUP);
  next_button = MakeButton("Next >", kNextButton, 285, WS_TABSTOP | BS_DEFPUSHBUTTON);
  cancel_button = MakeButton("Cancel", kCancelButton, 335, WS_TABSTOP);

  ShowWindow(frame, SW_SHOW);
  SetFocus(next_button);
  return FrameStatus::kShown;
}

LRESULT CALLBACK FrameProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (current >= 0 && current < kPageCount &&
      pages[current].procedure(window, message, wparam, lparam) == kPageHandled) {
    return 0;
  }
  switch (message) {
    case WM_CREATE:
    case WM_SIZE:
      return 0;
    case WM_DESTROY:
      EndRun(0);
      break;
    case WM_NCDESTROY:
      // Pages and post-sequence actions must not work on a window that is gone.
      if (window == frame) {
        frame = back_button = next_button = cancel_button = busy_box = nullptr;
        SetMessageOwner(nullptr);
      }
      break;
    case WM_PAINT:
      Paint(window);
      return 1;
    case WM_ERASEBKGND:
      EraseBackground(window, reinterpret_cast<HDC>(wparam));
      return 1;
    case WM_COMMAND:
      if (IsCommand(LOWORD(wparam))) {
        Command(LOWORD(wparam));
        return 0;
      }
      break;
    case WM_MOUSEMOVE:
      if (TrackLinks(lparam)) return 0;
      break;
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
      if (OpenLink(lparam)) return 0;
      break;
    case WM_USER:
      return kFrameDefaultButton;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

void GoToPage(int target) {
  if (target < 0) return;
  for (;;) {
    if (target >= kPageCount) {
      // The last page is never left: Finish ends the run from where it stands.
      EndRun(0);
      return;
    }
    const bool forward = target > current;
    if (current >= 0 && (SendToPage(current, kPageLeave, forward) & kPageVeto)) return;
    if (frame) EnableWindow(next_button, TRUE);
    const LRESULT entered = SendToPage(target, kPageEnter, forward);
    if (entered & kPageNoWayBack) no_way_back = true;
    current = target;
    if (!(entered & kPageSkip)) break;
    // Nothing lies before the first page: it stays even when it passes itself over.
    if (!forward && target == 0) break;
    target += forward ? 1 : -1;
  }
  if (frame) SetButtonsFor(current);
}

bool ConfirmCancel() {
  if (current == kLastPage) return true;
  return AskYesNo("Cancel setup", "%s", "Setup is not complete;\nare you sure you want to quit?");
}

void SetPageText(const char* text) {
  const char* shown = page_text.get();
  if (text == shown || (text && shown && strcmp(text, shown) == 0)) return;
  page_text.reset(text ? xstrdup(text) : nullptr);
  if (frame) InvalidateRect(frame, &text_rect, TRUE);
}

void DialogToPixels(RECT* rect) {
  if (!unit_x || !unit_y) ComputeLayoutUnits();
  const int ux = static_cast<int>(unit_x);
  const int uy = static_cast<int>(unit_y);
  rect->left = rect->left * ux / 4;
  rect->right = rect->right * ux / 4;
  rect->top = rect->top * uy / 8;
  rect->bottom = rect->bottom * uy / 8;
}

void PlaceControl(HWND control, int x, int y, int width, int height, DWORD style) {
  SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(GuiFont()), FALSE);
  RECT rect{x, y, x + width, y + height};
  DialogToPixels(&rect);
  AdjustWindowRect(&rect, style, FALSE);
  SetWindowPos(control, nullptr, rect.left, rect.top, rect.right - rect.left,
               rect.bottom - rect.top, SWP_NOZORDER | SWP_NOACTIVATE);
  ShowWindow(control, SW_SHOW);
}

void ShowBusy(const char* text) {
  if (!frame) return;
  if (!busy_box) {
    const DWORD style = WS_CHILD | WS_BORDER | ES_READONLY | ES_CENTER | ES_MULTILINE;
    busy_box =
        CreateWindowExA(0, "EDIT", text, style, 0, 0, 0, 0, frame, nullptr, Instance(), nullptr);
    PlaceControl(busy_box, 25, 75, 175, 60, WS_BORDER);
  } else {
    SetWindowTextA(busy_box, text);
    ShowWindow(busy_box, SW_SHOW);
  }
  // A second call while the box is up must not save the hourglass itself.
  if (!busy_shown) {
    saved_cursor = SetCursor(LoadCursorA(nullptr, IDC_WAIT));
    busy_shown = true;
  }
  UpdateWindow(busy_box);
}

void HideBusy() {
  if (busy_box) ShowWindow(busy_box, SW_HIDE);
  if (busy_shown) {
    SetCursor(saved_cursor);
    busy_shown = false;
  }
}

void ShowSplash() {
  RECT desktop;
  GetWindowRect(GetDesktopWindow(), &desktop);
  splash =
      CreateWindowExA(0, "STATIC", "Verifying installer integrity - please wait",
                      WS_POPUP | WS_BORDER | SS_CENTER, (desktop.right - 150) / 2,
                      (desktop.bottom - 40) / 2, 150, 40, nullptr, nullptr, Instance(), nullptr);
  if (!splash) return;
  SendMessageA(splash, WM_SETFONT, reinterpret_cast<WPARAM>(GuiFont()), FALSE);
  ShowWindow(splash, SW_SHOW);
  UpdateWindow(splash);
}

void HideSplash() {
  if (!splash) return;
  DestroyWindow(splash);
  splash = nullptr;
}
