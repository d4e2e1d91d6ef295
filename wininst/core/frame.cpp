#include "wininst/core/frame.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/alloc.h"
#include "common/handle.h"
#include "wininst/core/entry.h"
#include "wininst/core/messages.h"
#include "wininst/core/progress.h"
#include "wininst/core/runmode.h"
#include "wininst/core/usershell.h"
#include "wininst/core/variables.h"

namespace {

using Font = Handle<HFONT, DeleteObject>;
using Bitmap = Handle<HBITMAP, DeleteObject>;
using MemoryDC = Handle<HDC, DeleteDC>;
using Icon = Handle<HICON, DestroyIcon>;

constexpr COLORREF kTextGrey = 0x5A5A5A;
constexpr COLORREF kLinkBlue = 0xFF4000;
constexpr COLORREF kLinkHover = 0x0040FF;
// In pixels of the wizard at 96 DPI.
constexpr POINT kBuildNoAt = {36, 435};

// The wizard is drawn for 96 DPI and scaled for the monitor it is on.
constexpr int kDesignDpi = 96;
// Smaller than half size, text is no longer legible: a screen too small for
// that shows the wizard cut rather than unreadable.
constexpr int kSmallestDpi = 48;
// Beyond what any monitor has: a message of another program claiming more
// must not make a frame of gigapixels.
constexpr int kLargestDpi = 960;

HINSTANCE Instance() {
  return GetModuleHandleA(nullptr);
}

LONG Width(const RECT& r) {
  return r.right - r.left;
}
LONG Height(const RECT& r) {
  return r.bottom - r.top;
}

// The DPI the system's fonts and metrics are made for (the primary
// monitor's when the user signed in).
int SystemDpi() {
  static int dpi;
  if (!dpi) {
    HDC screen = GetDC(nullptr);
    dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen) ReleaseDC(nullptr, screen);
    if (dpi <= 0) dpi = kDesignDpi;
  }
  return dpi;
}

// The per-monitor functions came with Windows 10: looked up at run time, so
// that the program still starts on older systems, where every monitor has
// the system's DPI.
template <typename F>
F User32Function(const char* name) {
  return reinterpret_cast<F>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), name)));
}

int WindowDpi(HWND window) {
  using Fn = UINT(WINAPI*)(HWND);
  static const Fn get = User32Function<Fn>("GetDpiForWindow");
  const int dpi = get ? static_cast<int>(get(window)) : 0;
  return dpi > 0 ? dpi : SystemDpi();
}

int MetricForDpi(int index, int dpi) {
  using Fn = int(WINAPI*)(int, UINT);
  static const Fn get = User32Function<Fn>("GetSystemMetricsForDpi");
  return get ? get(index, static_cast<UINT>(dpi))
             : MulDiv(GetSystemMetrics(index), dpi, SystemDpi());
}

RECT WorkAreaOf(HMONITOR monitor) {
  MONITORINFO info{};
  info.cbSize = sizeof info;
  if (!monitor || !GetMonitorInfoA(monitor, &info)) {
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &info.rcWork, 0);
  }
  return info.rcWork;
}

// `rect` moved as little as it takes to lie inside `area`; its top left
// corner (the caption) stays inside when it is the larger.
RECT Inside(RECT rect, const RECT& area) {
  const LONG dx = std::max(area.left - rect.left, std::min(0L, area.right - rect.right));
  const LONG dy = std::max(area.top - rect.top, std::min(0L, area.bottom - rect.bottom));
  OffsetRect(&rect, dx, dy);
  return rect;
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

// A page control and where it goes, in dialog units, to be placed again
// when the layout changes.
struct Placement {
  HWND control;
  RECT units;
  DWORD style;
};
// The wizard's pages make some twenty controls; a component list long enough
// to pass this would reach above the frame's top anyway. A control beyond it
// is placed, but not placed again.
constexpr int kMostPlaced = 64;

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

  // Scales the frame for a monitor of `dpi`: at the size of the window that
  // the system suggests, or a new one centred on the desktop, shrunk to fit
  // the monitor's work area. The window rectangle to take.
  RECT Fit(int dpi, const RECT* suggested);
  void Lay();
  void Place(HWND control, const RECT& units, DWORD style);
  int layout_dpi() const { return layout_dpi_; }
  int dpi() const { return dpi_; }
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
  void LoadBackground();
  void ScaleBackground();
  void SetScale(int dpi, int layout_dpi);
  void Rescale(int dpi, const RECT& suggested);
  void Arrange();
  void SetIcons();
  HFONT GuiFontHere() const { return gui_font_ ? gui_font_.get() : GuiFont(); }
  void PlaceLink(Link& link, int top, int bottom);
  HWND MakeButton(const char* text, int id, int x, DWORD style);
  void DrawLink(HDC dc, const Link& link);

  // The monitor's DPI, and the one the layout is drawn for: the monitor's,
  // or less where the wizard would not fit its screen.
  int dpi_ = 0;
  int layout_dpi_ = 0;
  Placement placed_[kMostPlaced]{};
  int placed_count_ = 0;
  TextHandle page_text_;
  RECT text_rect_{};
  // The DC goes before the bitmaps it may hold.
  Bitmap picture_;     // the maker's picture as it came
  Bitmap background_;  // the picture scaled for the layout, when it differs
  MemoryDC background_dc_;
  int background_offset_ = 0;
  int background_height_ = 0;
  Link help_{"On-line help", "InstallerHelp"};
  Link ordering_{"Ordering Information", "OrderingURL"};
  Font gui_font_;  // null: the system's GUI font, which is made for this DPI
  Font text_font_;
  Icon big_icon_;
  Icon small_icon_;
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

// The layout units of the wizard at 96 DPI, and its GUI font's measures
// there (the 52 letters' width, the height), computed once.
struct BaseUnits {
  unsigned x;
  unsigned y;
  unsigned letters;
  unsigned height;
} base;

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
// vertical ones with its height, so the layout follows the GUI font. On a
// system at another DPI the system font and the dialog base units are not in
// proportion to the GUI font (under Wine at 144 DPI they made the wizard 2.5
// times its size): there the GUI font at 96 DPI gives the units alone, as a
// dialog's font gives a dialog its units.
void ComputeBaseUnits() {
  LOGFONTA font = GuiLogFont();
  font.lfHeight = MulDiv(font.lfHeight, kDesignDpi, SystemDpi());
  const bool at_design_dpi = SystemDpi() == kDesignDpi;
  Font made(at_design_dpi ? nullptr : CreateFontIndirectA(&font));
  unsigned hs, ws, hg, wg;
  {
    WindowDC dc(FrameWindow());  // the screen's DC before the frame exists
    MeasureFont(dc, GetStockObject(SYSTEM_FONT), &hs, &ws);
    MeasureFont(dc, made ? made.get() : GuiFont(), &hg, &wg);
  }
  base.letters = wg;
  base.height = hg;
  if (at_design_dpi) {
    const LONG units = GetDialogBaseUnits();
    const unsigned bx = LOWORD(units);
    const unsigned by = HIWORD(units);
    // Without font metrics the dialog base units are the best guess left.
    base.x = ws ? bx * wg / ws : bx;
    base.y = hs ? hg * by / hs : by;
  } else {
    base.x = (wg / 26 + 1) / 2;
    base.y = hg;
  }
  base.x = std::max(base.x, 1u);
  base.y = std::max(base.y, 1u);
}

// A rectangle of dialog units in pixels of a layout at `dpi`: the 96 DPI
// layout in proportion, so that the wizard looks the same at any DPI.
RECT ToPixels(RECT rect, int dpi) {
  if (!base.x) ComputeBaseUnits();
  const int ux = static_cast<int>(base.x) * dpi;
  const int uy = static_cast<int>(base.y) * dpi;
  rect.left = rect.left * ux / (4 * kDesignDpi);
  rect.right = rect.right * ux / (4 * kDesignDpi);
  rect.top = rect.top * uy / (8 * kDesignDpi);
  rect.bottom = rect.bottom * uy / (8 * kDesignDpi);
  return rect;
}

// The largest layout DPI, up to `dpi`, at which the 400 x 300 units of the
// frame fit `width` x `height` pixels.
int FittingDpi(int dpi, LONG width, LONG height) {
  if (!base.x) ComputeBaseUnits();
  // ToPixels rounds toward zero: the largest DPI whose product stays below
  // one pixel more.
  const LONG by_width = ((width + 1) * 4 * kDesignDpi - 1) / (400 * static_cast<LONG>(base.x));
  const LONG by_height = ((height + 1) * 8 * kDesignDpi - 1) / (300 * static_cast<LONG>(base.y));
  return static_cast<int>(std::max<LONG>(kSmallestDpi, std::min({LONG{dpi}, by_width, by_height})));
}

// The GUI font for a layout at `dpi`: the largest whose letters are neither
// wider nor taller, in proportion, than the 96 DPI font's, so that no text
// outgrows a control that holds it at 96 DPI. Null where the system's own GUI
// font is that font.
HFONT MakeGuiFont(int dpi) {
  if (!base.x) ComputeBaseUnits();
  LOGFONTA font = GuiLogFont();
  const LONG system_height = font.lfHeight;
  LONG height = MulDiv(system_height, dpi, SystemDpi());
  for (;;) {
    font.lfHeight = height;
    HFONT made = CreateFontIndirectA(&font);
    if (!made) return nullptr;
    unsigned h = 0, w = 0;
    {
      WindowDC dc(nullptr);
      MeasureFont(dc, made, &h, &w);
    }
    const bool fits =
        w * kDesignDpi <= base.letters * dpi && h * kDesignDpi < base.height * dpi + kDesignDpi;
    if (fits || height == 1 || height == -1) {
      if (height != system_height) return made;
      DeleteObject(made);
      return nullptr;
    }
    DeleteObject(made);
    height += height < 0 ? 1 : -1;
  }
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
    case WM_DPICHANGED:
      // Moved to a monitor of another DPI, or the monitor's scale changed.
      if (lparam) Rescale(HIWORD(wparam), *reinterpret_cast<const RECT*>(lparam));
      return 0;
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
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  const HGDIOBJ old_font = SelectObject(dc, text_font_.get());
  SetBkMode(dc, TRANSPARENT);
  if (page_text_) {
    SetTextColor(dc, kTextGrey);
    RECT rect = text_rect_;
    // Product names may hold "&", which is no mnemonic here.
    // Not clipped at the rectangle: a word that the measure lets fit may
    // reach a pixel past it as drawn.
    DrawTextA(dc, page_text_.get(), -1, &rect, DT_WORDBREAK | DT_NOPREFIX | DT_NOCLIP);
  }
  if (GetVariable(help_.variable)) DrawLink(dc, help_);
  if (GetVariable(ordering_.variable)) DrawLink(dc, ordering_);
  if (const char* build = GetVariable("BuildNo")) {
    SelectObject(dc, GuiFontHere());
    SetTextColor(dc, kTextGrey);
    TextOutA(dc, MulDiv(kBuildNoAt.x, layout_dpi_, kDesignDpi),
             MulDiv(kBuildNoAt.y, layout_dpi_, kDesignDpi), build, static_cast<int>(strlen(build)));
  }
  SelectObject(dc, old_font);
  EndPaint(window, &paint);
}

void Frame::EraseBackground(HDC dc) {
  RECT client;
  GetClientRect(window, &client);
  // Without a picture, or beside a narrower or shorter one, the class's
  // brush paints: an unpainted frame would show whatever lay on the screen
  // before.
  if (!background_dc_ || background_offset_ < 0 || background_height_ < client.bottom) {
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
  // The address is used as written: no [Name] expansion. The desktop's
  // shell opens it: the browser never runs with the installer's rights.
  if (!OpenAsDesktopUser(address, SW_SHOWNORMAL)) TellNotOpened(address);
  return true;
}

void Frame::LoadBackground() {
  const char* file = GetVariable("BACKGROUND");
  if (!file) return;
  picture_.reset(
      static_cast<HBITMAP>(LoadImageA(nullptr, file, IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE)));
}

// The picture is drawn for the wizard at 96 DPI, or at twice that size for
// 192 DPI: then it is much taller than the wizard at 96 DPI. It is scaled
// with the layout, through the system's halftone filter.
void Frame::ScaleBackground() {
  background_dc_.reset();  // lets go of the bitmap it holds
  background_.reset();
  if (!picture_) return;
  BITMAP info{};
  const bool known = GetObjectA(picture_.get(), sizeof info, &info) != 0;
  const LONG height_at_96 = Height(ToPixels({0, 0, 400, 300}, kDesignDpi));
  const int drawn_for = info.bmHeight * 2 > height_at_96 * 3 ? 2 * kDesignDpi : kDesignDpi;
  const int width = MulDiv(info.bmWidth, layout_dpi_, drawn_for);
  const int height = MulDiv(info.bmHeight, layout_dpi_, drawn_for);
  WindowDC dc(window);
  HBITMAP shown = picture_.get();
  if (known && width > 0 && height > 0 && (width != info.bmWidth || height != info.bmHeight)) {
    background_.reset(CreateCompatibleBitmap(dc.get(), width, height));
    MemoryDC from(CreateCompatibleDC(dc.get()));
    MemoryDC to(CreateCompatibleDC(dc.get()));
    // Too large a picture for the memory left is shown as it came.
    if (background_ && from && to) {
      const HGDIOBJ old_from = SelectObject(from.get(), picture_.get());
      const HGDIOBJ old_to = SelectObject(to.get(), background_.get());
      SetStretchBltMode(to.get(), HALFTONE);
      SetBrushOrgEx(to.get(), 0, 0, nullptr);
      StretchBlt(to.get(), 0, 0, width, height, from.get(), 0, 0, info.bmWidth, info.bmHeight,
                 SRCCOPY);
      SelectObject(from.get(), old_from);
      SelectObject(to.get(), old_to);
      shown = background_.get();
      info.bmWidth = width;
      info.bmHeight = height;
    }
  }
  // The picture's right edge meets the frame's: a wider picture shows its
  // right-hand part (a narrower one leaves a strip at the left unpainted).
  RECT frame;
  GetWindowRect(window, &frame);
  background_offset_ = known ? info.bmWidth - Width(frame) : 0;
  background_height_ = known ? info.bmHeight : 0;
  background_dc_.reset(CreateCompatibleDC(dc.get()));
  if (background_dc_) SelectObject(background_dc_.get(), shown);
}

void Frame::PlaceLink(Link& link, int top, int bottom) {
  LOGFONTA font{};
  GetObjectA(GuiFontHere(), sizeof font, &font);
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

void Frame::Lay() {
  LoadBackground();
  Arrange();
  back = MakeButton("< Back", kBackButton, 244, WS_TABSTOP | WS_GROUP);
  next = MakeButton("Next >", kNextButton, 285, WS_TABSTOP | BS_DEFPUSHBUTTON);
  cancel = MakeButton("Cancel", kCancelButton, 335, WS_TABSTOP);
}

// What the frame paints itself, laid out for the current scale.
void Frame::Arrange() {
  PlaceLink(help_, 248, 256);
  PlaceLink(ordering_, 258, 266);
  text_rect_ = {25, 75, 375, 250};
  DialogToPixels(&text_rect_);
  ScaleBackground();
  SetIcons();
}

RECT Frame::Fit(int dpi, const RECT* suggested) {
  dpi = std::clamp(dpi, kSmallestDpi, kLargestDpi);
  const HMONITOR monitor = suggested ? MonitorFromRect(suggested, MONITOR_DEFAULTTONEAREST)
                           : window  ? MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST)
                                     : MonitorFromPoint({0, 0}, MONITOR_DEFAULTTOPRIMARY);
  const RECT work = WorkAreaOf(monitor);
  LONG width = Width(work);
  LONG height = Height(work);
  if (suggested) {
    width = std::min(width, Width(*suggested));
    height = std::min(height, Height(*suggested));
  }
  SetScale(dpi, FittingDpi(dpi, width, height));
  const RECT size = ToPixels({0, 0, 400, 300}, layout_dpi_);
  RECT rect;
  if (suggested && Width(*suggested) <= Width(work) && Height(*suggested) <= Height(work)) {
    // The system's rectangle keeps the window where the user moved it.
    rect = *suggested;
  } else if (suggested) {
    rect = {suggested->left, suggested->top, suggested->left + size.right,
            suggested->top + size.bottom};
  } else {
    RECT desktop;
    GetWindowRect(GetDesktopWindow(), &desktop);
    rect.left = (Width(desktop) - size.right) / 2;
    rect.top = (Height(desktop) - size.bottom) / 2;
    rect.right = rect.left + size.right;
    rect.bottom = rect.top + size.bottom;
  }
  return Inside(rect, work);
}

void Frame::SetScale(int dpi, int layout_dpi) {
  dpi_ = dpi;
  layout_dpi_ = layout_dpi;
  gui_font_.reset(MakeGuiFont(layout_dpi));
  LOGFONTA font{};
  GetObjectA(GuiFontHere(), sizeof font, &font);
  font.lfHeight += font.lfHeight / 3;
  text_font_.reset(CreateFontIndirectA(&font));
}

void Frame::Rescale(int dpi, const RECT& suggested) {
  // The controls keep the font they have until they are given the new one.
  const Font old_font = std::move(gui_font_);
  const RECT rect = Fit(dpi, &suggested);
  SetWindowPos(window, nullptr, rect.left, rect.top, Width(rect), Height(rect),
               SWP_NOZORDER | SWP_NOACTIVATE);
  for (int i = 0; i < placed_count_; i++) {
    const Placement p = placed_[i];
    if (IsWindow(p.control)) Place(p.control, p.units, p.style);
  }
  Arrange();
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

// The window's icons (task bar, task switcher) at the monitor's sizes; at
// the system's DPI the class's own icons are those sizes already.
void Frame::SetIcons() {
  if (dpi_ == SystemDpi() && !small_icon_) return;
  Icon big(FrameIcon(MetricForDpi(SM_CXICON, dpi_)));
  Icon small(FrameIcon(MetricForDpi(SM_CXSMICON, dpi_)));
  SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big.get()));
  SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small.get()));
  big_icon_ = std::move(big);
  small_icon_ = std::move(small);
}

void Frame::Place(HWND control, const RECT& units, DWORD style) {
  int at = 0;
  while (at < placed_count_ && placed_[at].control != control) at++;
  if (at < kMostPlaced) {
    placed_[at] = {control, units, style};
    if (at == placed_count_) placed_count_++;
  }
  SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(GuiFontHere()), FALSE);
  RECT rect = ToPixels(units, layout_dpi_);
  AdjustWindowRect(&rect, style, FALSE);
  SetWindowPos(control, nullptr, rect.left, rect.top, Width(rect), Height(rect),
               SWP_NOZORDER | SWP_NOACTIVATE);
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

  const char* description = GetVariable("Description");
  TextHandle title(xstrcat("Installing ", description ? description : ""));
  // The window binds the object when it is created and deletes it when it
  // is destroyed; one that never got so far is deleted here.
  unbound = new Frame;
  // 400 x 300 dialog units, centred on the desktop, at the system's DPI:
  // that of the primary monitor, where the window is made.
  RECT rect = unbound->Fit(SystemDpi(), nullptr);
  // An overlapped window: the system adds the caption; no system menu, no
  // sizing border, no minimise or maximise box.
  HWND window =
      CreateWindowExA(WS_EX_CONTROLPARENT, kFrameClass, title.get(), WS_DLGFRAME, rect.left,
                      rect.top, Width(rect), Height(rect), nullptr, nullptr, Instance(), unbound);
  delete unbound;
  unbound = nullptr;
  if (!window) return FrameStatus::kWindowNotCreated;
  SetMessageOwner(window);
  // The monitor's scale may have changed since the user signed in.
  if (const int dpi = WindowDpi(window); dpi != live->dpi()) {
    rect = live->Fit(dpi, nullptr);
    SetWindowPos(window, nullptr, rect.left, rect.top, Width(rect), Height(rect),
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }

  live->Lay();
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

// At the frame's scale; before the frame exists, at the system's DPI.
void DialogToPixels(RECT* rect) {
  *rect = ToPixels(*rect, live ? live->layout_dpi() : SystemDpi());
}

// The frame remembers where its controls go, to place them again when its
// scale changes.
void PlaceControl(HWND control, int x, int y, int width, int height, DWORD style) {
  if (!live || !control) return;
  live->Place(control, {x, y, x + width, y + height}, style);
  ShowWindow(control, SW_SHOW);
}

void ShowSplash() {
  RECT desktop;
  GetWindowRect(GetDesktopWindow(), &desktop);
  // 150 x 40 pixels at 96 DPI, for the system's font at its DPI.
  const int width = MulDiv(150, SystemDpi(), kDesignDpi);
  const int height = MulDiv(40, SystemDpi(), kDesignDpi);
  splash = CreateWindowExA(0, "STATIC", "Verifying installer integrity - please wait",
                           WS_POPUP | WS_BORDER | SS_CENTER, (desktop.right - width) / 2,
                           (desktop.bottom - height) / 2, width, height, nullptr, nullptr,
                           Instance(), nullptr);
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
