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
#include "wininst/core/progress.h"
#include "wininst/core/runmode.h"
#include "wininst/core/variables.h"

namespace {

using Font = Handle<HFONT, DeleteObject>;
using Bitmap = Handle<HBITMAP, DeleteObject>;
using MemoryDC = Handle<HDC, DeleteDC>;

constexpr COLORREF kTextGrey = 0x5A5A5A;
constexpr COLORREF kLinkBlue = 0xFF4000;
constexpr COLORREF kLinkHover = 0x0040FF;
constexpr POINT kBuildNoAt = {36, 435};

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

struct Link {
  Link(const char* t, const char* v) : text(t), variable(v) {}
  const char* text;
  const char* variable;  // names the address; the link is live while it is set
  RECT rect{};
  Font font;
  bool hover = false;
};

// The frame window's state, made by CreateFrame, bound to the window when it
// is created and deleted with it.
class Frame final : public WorkWindow {
 public:
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  void Lay(int width);
  void SetButtonsFor(int page);
  void SetPageText(const char* text);
  void ShowBusy(const char* text) override;
  void HideBusy() override;
  void* Handle() override { return window; }

  HWND window = nullptr;
  HWND back = nullptr;
  HWND next = nullptr;
  HWND cancel = nullptr;

 private:
  LRESULT Dispatch(UINT message, WPARAM wparam, LPARAM lparam);
  void Command(int id);
  void Paint();
  void EraseBackground(HDC dc);
  bool TrackLinks(LPARAM lparam);
  bool OpenLink(LPARAM lparam);
  void LoadBackground(int frame_width);
  void PlaceLink(Link& link, int top, int bottom);
  HWND MakeButton(const char* text, int id, int x, DWORD style);
  void DrawLink(HDC dc, const Link& link);

  TextHandle page_text_;
  RECT text_rect_{};
  // The DC goes before the bitmap selected into it.
  Bitmap background_;
  MemoryDC background_dc_;
  int background_offset_ = 0;
  Link help_{"On-line help", "InstallerHelp"};
  Link ordering_{"Ordering Information", "OrderingURL"};
  Font text_font_;
  Font build_font_;
  HWND busy_box_ = nullptr;
  bool busy_shown_ = false;
  HCURSOR saved_cursor_ = nullptr;
};

// The pages' table (SetPageTable).
PageDescriptor* pages;
int page_count;

// The page sequence, with or without a frame.
struct Sequence {
  int current = -1;
  bool no_way_back = false;
  // A page move is under way (a page works while it is entered or left):
  // no second one may start inside it.
  bool changing = false;
} sequence;

// The frame on the screen, and one being created until its window binds it.
Frame* live;
Frame* unbound;

// Layout units, computed once.
unsigned unit_x;
unsigned unit_y;

HWND splash;

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
    WindowDC dc(FrameWindow());  // the screen's DC before the frame exists
    MeasureFont(dc, GetStockObject(SYSTEM_FONT), &hs, &ws);
    MeasureFont(dc, GuiFont(), &hg, &wg);
  }
  // Without font metrics the dialog base units are the best guess left.
  unit_x = ws ? bx * wg / ws : bx;
  unit_y = hs ? hg * by / hs : by;
}

LRESULT SendToPage(int page, UINT message, bool forward) {
  return pages[page].procedure(FrameWindow(), message, forward ? 1 : 0, 0);
}

bool Enabled(int page) {
  return (pages[page].enabled & 0xFF) != 0;
}

int NextTarget() {
  for (int page = sequence.current + 1; page < page_count; page++) {
    if (Enabled(page)) return page;
  }
  return page_count;
}

// Page 0 is taken even when disabled; from page 0 there is nowhere to go.
int BackTarget() {
  int page = sequence.current - 1;
  while (page > 0 && !Enabled(page)) page--;
  return page;
}

POINT PointOf(LPARAM lparam) {
  return {GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
}

// The program's own icon; the icon file of the manifest only when the
// program has none.
HICON FrameIcon(int size) {
  if (HICON icon = static_cast<HICON>(
          LoadImageA(Instance(), "MERIDOX_ICON", IMAGE_ICON, size, size, LR_DEFAULTCOLOR))) {
    return icon;
  }
  const char* file = GetVariable("ICON");
  if (!file) return nullptr;
  return static_cast<HICON>(LoadImageA(nullptr, file, IMAGE_ICON, size, size, LR_LOADFROMFILE));
}

bool RegisterFrameClass() {
  WNDCLASSEXA window_class{};
  window_class.cbSize = sizeof window_class;
  if (!GetClassInfoExA(nullptr, "#32771", &window_class)) {
    window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  }
  window_class.lpfnWndProc = Frame::Proc;
  window_class.hInstance = Instance();
  window_class.hIcon = FrameIcon(GetSystemMetrics(SM_CXICON));
  window_class.hIconSm = FrameIcon(GetSystemMetrics(SM_CXSMICON));
  window_class.lpszMenuName = nullptr;
  window_class.lpszClassName = kFrameClass;
  return RegisterClassExA(&window_class) != 0;
}

}  // namespace

LRESULT CALLBACK Frame::Proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  Frame* self = reinterpret_cast<Frame*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (message == WM_NCCREATE) {
    self = static_cast<Frame*>(reinterpret_cast<CREATESTRUCTA*>(lparam)->lpCreateParams);
    self->window = window;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    live = self;
    unbound = nullptr;
    // The work reaches the frame through the progress seam.
    SetWorkWindow(self);
  }
  if (!self) return DefWindowProcA(window, message, wparam, lparam);
  if (message == WM_NCDESTROY) {
    // Pages and post-sequence actions must not work on a window that is gone.
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    if (live == self) {
      live = nullptr;
      SetMessageOwner(nullptr);
      SetWorkWindow(nullptr);
    }
    delete self;
    return DefWindowProcA(window, message, wparam, lparam);
  }
  return self->Dispatch(message, wparam, lparam);
}

LRESULT Frame::Dispatch(UINT message, WPARAM wparam, LPARAM lparam) {
  const int current = sequence.current;
  if (current >= 0 && current < page_count &&
      pages[current].procedure(window, message, wparam, lparam) == kPageHandled) {
    return 0;
  }
  switch (message) {
    case WM_CREATE:
    case WM_SIZE:
      return 0;
    case WM_CLOSE:
      // While a page works, closing the window is a Cancel: the work must
      // not go on without its window, nor be cut off half-way.
      if (sequence.changing) {
        if (ConfirmCancel()) CancelRun();
        return 0;
      }
      break;
    case WM_DESTROY:
      EndRun(0);
      break;
    case WM_PAINT:
      Paint();
      return 1;
    case WM_ERASEBKGND:
      EraseBackground(reinterpret_cast<HDC>(wparam));
      return 1;
    case WM_COMMAND: {
      const int id = LOWORD(wparam);
      if (id == kCancelButton || id == kNextButton || id == kBackButton) {
        Command(id);
        return 0;
      }
      break;
    }
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

// A button acts only while it is enabled: Escape sends Cancel whatever its
// state, and under Wine a click on a disabled button still arrives here, as
// may a message any program posts. Next and Back must not start a page move
// while a page works, nor Cancel end a run that has succeeded.
void Frame::Command(int id) {
  switch (id) {
    case kCancelButton:
      if (!IsWindowEnabled(cancel)) return;
      if (ConfirmCancel()) CancelRun();
      return;
    case kNextButton:
      if (IsWindowEnabled(next)) GoToPage(NextTarget());
      return;
    case kBackButton:
      if (IsWindowEnabled(back)) GoToPage(BackTarget());
      return;
  }
}

void Frame::SetButtonsFor(int page) {
  if (page == page_count - 1) {
    SetWindowTextA(next, "Finish");
    EnableWindow(cancel, FALSE);
    // Nothing lies behind the completion page, whatever the pages answered.
    EnableWindow(back, FALSE);
  } else {
    SetWindowTextA(next, "Next");
    // Back leads nowhere when every page before this one passes itself
    // over in a run that proceeds without questions.
    bool page_before = false;
    for (int p = 0; p < page && !page_before; p++) {
      page_before = !(Mode().proceed && pages[p].passed_over_when_proceeding);
    }
    const bool can_go_back = page != 0 && !sequence.no_way_back && page_before;
    EnableWindow(back, can_go_back);
  }
  InvalidateRect(window, nullptr, TRUE);
}

void Frame::DrawLink(HDC dc, const Link& link) {
  SelectObject(dc, link.font.get());
  SetTextColor(dc, link.hover ? kLinkHover : kLinkBlue);
  TextOutA(dc, link.rect.left, link.rect.top, link.text, static_cast<int>(strlen(link.text)));
}

void Frame::Paint() {
  if (!text_font_) {
    LOGFONTA font = GuiLogFont();
    build_font_.reset(CreateFontIndirectA(&font));
    font.lfHeight += font.lfHeight / 3;
    text_font_.reset(CreateFontIndirectA(&font));
  }
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  const HGDIOBJ old_font = SelectObject(dc, text_font_.get());
  SetBkMode(dc, TRANSPARENT);
  if (page_text_) {
    SetTextColor(dc, kTextGrey);
    RECT rect = text_rect_;
    // Product names may hold "&", which is no mnemonic here.
    DrawTextA(dc, page_text_.get(), -1, &rect, DT_WORDBREAK | DT_NOPREFIX);
  }
  if (GetVariable(help_.variable)) DrawLink(dc, help_);
  if (GetVariable(ordering_.variable)) DrawLink(dc, ordering_);
  if (const char* build = GetVariable("BuildNo")) {
    SelectObject(dc, build_font_.get());
    SetTextColor(dc, kTextGrey);
    TextOutA(dc, kBuildNoAt.x, kBuildNoAt.y, build, static_cast<int>(strlen(build)));
  }
  SelectObject(dc, old_font);
  EndPaint(window, &paint);
}

void Frame::EraseBackground(HDC dc) {
  RECT client;
  GetClientRect(window, &client);
  // Without a picture, or beside a narrower one, the class's brush paints:
  // an unpainted frame would show whatever lay on the screen before.
  if (!background_dc_ || background_offset_ < 0) {
    HBRUSH brush = reinterpret_cast<HBRUSH>(GetClassLongPtrA(window, GCLP_HBRBACKGROUND));
    FillRect(dc, &client, brush ? brush : GetSysColorBrush(COLOR_WINDOW));
  }
  if (background_dc_) {
    BitBlt(dc, 0, 0, client.right, client.bottom, background_dc_.get(), background_offset_, 0,
           SRCCOPY);
  }
}

// The help link's hover state is tracked even while it is not shown.
bool Frame::TrackLinks(LPARAM lparam) {
  const POINT point = PointOf(lparam);
  const bool over_help = PtInRect(&help_.rect, point);
  if (over_help != help_.hover) {
    help_.hover = over_help;
    InvalidateRect(window, &help_.rect, TRUE);
    return true;
  }
  if (GetVariable(ordering_.variable)) {
    const bool over_ordering = PtInRect(&ordering_.rect, point);
    if (over_ordering != ordering_.hover) {
      ordering_.hover = over_ordering;
      InvalidateRect(window, &ordering_.rect, TRUE);
      return true;
    }
  }
  return false;
}

bool Frame::OpenLink(LPARAM lparam) {
  const POINT point = PointOf(lparam);
  const char* address = nullptr;
  for (const Link* link : {&help_, &ordering_}) {
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

void Frame::LoadBackground(int frame_width) {
  const char* file = GetVariable("BACKGROUND");
  if (!file) return;
  background_.reset(
      static_cast<HBITMAP>(LoadImageA(nullptr, file, IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE)));
  if (!background_) return;
  // The picture's right edge meets the frame's: a wider picture shows its
  // right-hand part (a narrower one leaves a strip at the left unpainted).
  BITMAP info;
  if (GetObjectA(background_.get(), sizeof info, &info)) {
    background_offset_ = info.bmWidth - frame_width;
  }
  WindowDC dc(window);
  background_dc_.reset(CreateCompatibleDC(dc.get()));
  if (background_dc_) SelectObject(background_dc_.get(), background_.get());
}

void Frame::PlaceLink(Link& link, int top, int bottom) {
  LOGFONTA font = GuiLogFont();
  font.lfUnderline = TRUE;
  link.font.reset(CreateFontIndirectA(&font));
  link.rect = {25, top, 25, bottom};
  DialogToPixels(&link.rect);
  WindowDC dc(window);
  dc.Select(link.font.get());
  SIZE extent{};
  GetTextExtentPoint32A(dc.get(), link.text, static_cast<int>(strlen(link.text)), &extent);
  link.rect.right = link.rect.left + extent.cx;
}

HWND Frame::MakeButton(const char* text, int id, int x, DWORD style) {
  HWND button = MakeControl("BUTTON", text, style, id);
  PlaceControl(button, x, 250, 40, 15, style);
  return button;
}

void Frame::Lay(int width) {
  LoadBackground(width);
  PlaceLink(help_, 248, 256);
  PlaceLink(ordering_, 258, 266);
  text_rect_ = {25, 75, 375, 250};
  DialogToPixels(&text_rect_);
  back = MakeButton("< Back", kBackButton, 244, WS_TABSTOP | WS_GROUP);
  next = MakeButton("Next >", kNextButton, 285, WS_TABSTOP | BS_DEFPUSHBUTTON);
  cancel = MakeButton("Cancel", kCancelButton, 335, WS_TABSTOP);
}

void Frame::SetPageText(const char* text) {
  const char* shown = page_text_.get();
  if (text == shown || (text && shown && strcmp(text, shown) == 0)) return;
  page_text_.reset(text ? xstrdup(text) : nullptr);
  InvalidateRect(window, &text_rect_, TRUE);
}

void Frame::ShowBusy(const char* text) {
  if (!busy_box_) {
    const DWORD style = WS_BORDER | ES_READONLY | ES_CENTER | ES_MULTILINE;
    busy_box_ = MakeControl("EDIT", text, style, 0);
    PlaceControl(busy_box_, 25, 75, 175, 60, WS_BORDER);
  } else {
    SetWindowTextA(busy_box_, text);
    ShowWindow(busy_box_, SW_SHOW);
  }
  // A second call while the box is up must not save the hourglass itself.
  if (!busy_shown_) {
    saved_cursor_ = SetCursor(LoadCursorA(nullptr, IDC_WAIT));
    busy_shown_ = true;
  }
  UpdateWindow(busy_box_);
}

void Frame::HideBusy() {
  if (busy_box_) ShowWindow(busy_box_, SW_HIDE);
  if (busy_shown_) {
    SetCursor(saved_cursor_);
    busy_shown_ = false;
  }
}

void SetPageTable(PageDescriptor* table, int count) {
  pages = table;
  page_count = count;
}

PageDescriptor* PageTable() {
  return pages;
}

int PageCount() {
  return page_count;
}
HWND FrameWindow() {
  return live ? live->window : nullptr;
}
HWND NextButton() {
  return live ? live->next : nullptr;
}
HWND BackButton() {
  return live ? live->back : nullptr;
}
int CurrentPage() {
  return sequence.current;
}

// The common controls (the progress bar among them) are loaded with the
// frame, not with the program: a headless run or a removal never shows them,
// and loading the library costs a tenth of a second or more at every start.
// Kept loaded for the rest of the run.
namespace {
void LoadCommonControls() {
  using InitFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  // Version 6, which the program's manifest asks for, comes from the
  // system's side-by-side store whatever lies beside the program; the
  // search is the system folder's alone besides (see common/syslib.h).
  HMODULE library = LoadLibraryA("comctl32.dll");
  auto init = library ? reinterpret_cast<InitFn>(reinterpret_cast<void*>(
                            GetProcAddress(library, "InitCommonControlsEx")))
                      : nullptr;
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
  if (init) init(&controls);
}
}  // namespace

FrameStatus CreateFrame() {
  sequence = Sequence{};

  LoadCommonControls();
  if (!RegisterFrameClass()) return FrameStatus::kClassNotRegistered;

  RECT size{0, 0, 400, 300};
  DialogToPixels(&size);
  RECT desktop;
  GetWindowRect(GetDesktopWindow(), &desktop);
  const int x = (desktop.right - desktop.left - size.right) / 2;
  const int y = (desktop.bottom - desktop.top - size.bottom) / 2;

  const char* description = GetVariable("Description");
  TextHandle title(xstrcat("Installing ", description ? description : ""));
  // The window binds the object when it is created and deletes it when it
  // is destroyed; one that never got so far is deleted here.
  unbound = new Frame;
  // An overlapped window: the system adds the caption; no system menu, no
  // sizing border, no minimise or maximise box.
  HWND window = CreateWindowExA(WS_EX_CONTROLPARENT, kFrameClass, title.get(), WS_DLGFRAME, x, y,
                                size.right, size.bottom, nullptr, nullptr, Instance(), unbound);
  delete unbound;
  unbound = nullptr;
  if (!window) return FrameStatus::kWindowNotCreated;
  SetMessageOwner(window);

  live->Lay(size.right);
  ShowWindow(window, SW_SHOW);
  SetFocus(live->next);
  return FrameStatus::kShown;
}

void GoToPage(int target) {
  if (target < 0 || sequence.changing) return;
  struct Changing {
    Changing() { sequence.changing = true; }
    ~Changing() { sequence.changing = false; }
  } changing;
  for (;;) {
    if (target >= page_count) {
      // The last page is never left: Finish ends the run from where it stands.
      EndRun(0);
      return;
    }
    const int current = sequence.current;
    const bool forward = target > current;
    if (current >= 0 && (SendToPage(current, kPageLeave, forward) & kPageVeto)) return;
    if (live) EnableWindow(live->next, TRUE);
    const LRESULT entered = SendToPage(target, kPageEnter, forward);
    if (entered & kPageNoWayBack) sequence.no_way_back = true;
    sequence.current = target;
    if (!(entered & kPageSkip)) break;
    // Nothing lies before the first page: it stays even when it passes itself over.
    if (!forward && target == 0) break;
    target += forward ? 1 : -1;
  }
  if (live) live->SetButtonsFor(sequence.current);
}

bool ConfirmCancel() {
  if (sequence.current == page_count - 1) return true;
  return AskYesNo("Cancel setup", "%s", "Setup is not complete;\nare you sure you want to quit?");
}

void SetPageText(const char* text) {
  if (live) live->SetPageText(text);
}

HWND MakeControl(const char* window_class, const char* text, DWORD style, int id) {
  if (!live) return nullptr;
  return CreateWindowExA(0, window_class, text, (style | WS_CHILD) & ~WS_VISIBLE, 0, 0, 0, 0,
                         live->window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                         Instance(), nullptr);
}

bool IsChecked(HWND button) {
  return button && SendMessageA(button, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void EnableNext(bool enabled, bool focus) {
  if (!live) return;
  EnableWindow(live->next, enabled);
  if (enabled && focus) SetFocus(live->next);
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
