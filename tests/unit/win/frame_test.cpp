// The frame's page protocol and services, on a real frame window with test
// pages in the page table.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "wininst/core/entry.h"
#include "wininst/core/frame.h"
#include "wininst/core/progress.h"
#include "wininst/core/runmode.h"
#include "wininst/core/variables.h"

namespace {

struct Event {
  int page;
  UINT message;
  WPARAM forward;
  bool operator==(const Event&) const = default;
};

constexpr int kPages = 4;
std::vector<Event> events;
LRESULT enter_result[kPages];
LRESULT leave_result[kPages];
int paints;
bool page_takes_wm_user;

template <int N>
LRESULT TestPage(HWND, UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case kPageEnter:
      events.push_back({N, message, wparam});
      return enter_result[N];
    case kPageLeave:
      events.push_back({N, message, wparam});
      return leave_result[N];
    case WM_PAINT:
      paints++;
      break;
    case WM_USER:
      if (page_takes_wm_user) return kPageHandled;
      break;
  }
  return kPageNotHandled;
}

Event Enter(int page, int forward) {
  return {page, kPageEnter, static_cast<WPARAM>(forward)};
}
Event Leave(int page, int forward) {
  return {page, kPageLeave, static_cast<WPARAM>(forward)};
}

RECT Dlu(int left, int top, int right, int bottom) {
  RECT r{left, top, right, bottom};
  DialogToPixels(&r);
  return r;
}

bool SameRect(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

class FrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The wizard's own shape: the first page passes itself over when the
    // run proceeds without questions.
    table_[0] = {1, "Welcome", "Preparing to install", TestPage<0>, true};
    table_[1] = {1, "Installdir", "Choose installation folder", TestPage<1>, false};
    table_[2] = {1, "Copyfiles", "Installing new files", TestPage<2>, false};
    table_[3] = {1, "Complete", "Installation complete", TestPage<3>, false};
    SetPageTable(table_, kPages);
    events.clear();
    for (int i = 0; i < kPages; i++) enter_result[i] = leave_result[i] = 0;
    paints = 0;
    page_takes_wm_user = false;
    SetRunMode(RunMode{});
    SetVariable("Description", "Frame Test");
    ASSERT_EQ(CreateFrame(), FrameStatus::kShown);
    frame_ = FrameWindow();
    ASSERT_NE(frame_, nullptr);
  }

  void TearDown() override {
    if (frame_) DestroyWindow(frame_);
    Pump();
    UnregisterClassA(kFrameClass, GetModuleHandleA(nullptr));
  }

  // Dispatches what is waiting; the code of a quit message, or -1.
  static int Pump() {
    int quit = -1;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        quit = static_cast<int>(msg.wParam);
        continue;
      }
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    return quit;
  }

  HWND Item(int id) const { return GetDlgItem(frame_, id); }
  void Click(int id) const { SendMessageA(Item(id), BM_CLICK, 0, 0); }
  // What the dialog navigation sends, whatever state the button is in.
  void Command(int id) const {
    SendMessageA(frame_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(Item(id)));
  }
  std::string Text(int id) const {
    char buf[64] = "";
    GetWindowTextA(Item(id), buf, sizeof buf);
    return buf;
  }
  bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }

  HWND frame_ = nullptr;
  PageDescriptor table_[kPages];
};

// The initial labels and the class are checked on the screen by the
// end-to-end test; here what it cannot see.
TEST_F(FrameTest, NextIsTheDefaultButtonAndPagesAnswerFirst) {
  EXPECT_EQ(GetFocus(), NextButton());
  EXPECT_EQ(Item(kBackButton), BackButton());
  EXPECT_EQ(Item(kNextButton), NextButton());
  EXPECT_TRUE(GetWindowLongA(NextButton(), GWL_STYLE) & BS_DEFPUSHBUTTON);
  // The dialog navigation asks WM_USER (DM_GETDEFID) for the default button.
  EXPECT_EQ(SendMessageA(frame_, WM_USER, 0, 0), 0x534B0065);
  page_takes_wm_user = true;
  GoToPage(0);
  EXPECT_EQ(SendMessageA(frame_, WM_USER, 0, 0), 0) << "the page answers first";
}

// ux and uy from the dialog base units and the system and GUI fonts measured
// on the frame's DC; the frame, its buttons and its rectangles follow them.
TEST_F(FrameTest, LayoutUnitsFromTheFonts) {
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  HDC dc = GetDC(frame_);
  TEXTMETRICA tm;
  SIZE extent;
  HGDIOBJ old = SelectObject(dc, GetStockObject(SYSTEM_FONT));
  GetTextMetricsA(dc, &tm);
  GetTextExtentPoint32A(dc, kLetters, 52, &extent);
  const unsigned hs = tm.tmHeight, ws = extent.cx;
  SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
  GetTextMetricsA(dc, &tm);
  GetTextExtentPoint32A(dc, kLetters, 52, &extent);
  const unsigned hg = tm.tmHeight, wg = extent.cx;
  SelectObject(dc, old);
  ReleaseDC(frame_, dc);
  const unsigned base = GetDialogBaseUnits();
  const int ux = LOWORD(base) * wg / ws;
  const int uy = hg * HIWORD(base) / hs;
  ASSERT_GT(ux, 0);
  ASSERT_GT(uy, 0);

  EXPECT_TRUE(SameRect(Dlu(4, 8, 12, 24), {ux, uy, 3 * ux, 3 * uy}));
  // Division rounds toward zero.
  EXPECT_TRUE(SameRect(Dlu(1, 1, 3, 7), {ux / 4, uy / 8, 3 * ux / 4, 7 * uy / 8}));

  RECT window;
  GetWindowRect(frame_, &window);
  EXPECT_EQ(window.right - window.left, 400 * ux / 4);
  EXPECT_EQ(window.bottom - window.top, 300 * uy / 8);
  RECT next;
  GetWindowRect(NextButton(), &next);
  MapWindowPoints(nullptr, frame_, reinterpret_cast<POINT*>(&next), 2);
  EXPECT_TRUE(SameRect(next, Dlu(285, 250, 325, 265)));
  EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageA(NextButton(), WM_GETFONT, 0, 0)),
            GetStockObject(DEFAULT_GUI_FONT));
}

TEST_F(FrameTest, SkippedPageGetsEnterThenLeaveAndTheNextPageMovesForward) {
  enter_result[0] = kPageSkip;
  GoToPage(0);
  EXPECT_EQ(events, (std::vector<Event>{Enter(0, 1), Leave(0, 1), Enter(1, 1)}));
  EXPECT_EQ(CurrentPage(), 1);
}

TEST_F(FrameTest, BackIsOffOnTheFirstPageAndOtherPagesSayNext) {
  GoToPage(0);
  EXPECT_EQ(CurrentPage(), 0);
  EXPECT_FALSE(Enabled(kBackButton));
  EXPECT_EQ(Text(kNextButton), "Next");
  EXPECT_EQ(Text(kBackButton), "< Back");
  EXPECT_TRUE(Enabled(kCancelButton));

  Click(kNextButton);
  EXPECT_EQ(CurrentPage(), 1);
  EXPECT_TRUE(Enabled(kBackButton));
  EXPECT_EQ(Text(kNextButton), "Next");

  Click(kBackButton);
  EXPECT_EQ(CurrentPage(), 0);
  EXPECT_EQ(events,
            (std::vector<Event>{Enter(0, 1), Leave(0, 1), Enter(1, 1), Leave(1, 0), Enter(0, 0)}));
}

TEST_F(FrameTest, DoProceedKeepsBackOffOnTheFolderPage) {
  RunMode proceeding;
  proceeding.proceed = true;
  SetRunMode(proceeding);
  GoToPage(1);
  EXPECT_FALSE(Enabled(kBackButton));
  Click(kNextButton);
  EXPECT_EQ(CurrentPage(), 2);
  EXPECT_TRUE(Enabled(kBackButton));
  SetRunMode(RunMode{});
}

TEST_F(FrameTest, VetoKeepsThePageAndTheButtons) {
  GoToPage(1);
  leave_result[1] = kPageVeto;
  SetWindowTextA(Item(kCancelButton), "Stop");  // a label the frame would not set
  events.clear();
  Command(kNextButton);
  EXPECT_EQ(events, (std::vector<Event>{Leave(1, 1)}));
  EXPECT_EQ(CurrentPage(), 1);
  EXPECT_TRUE(Enabled(kNextButton));
  EXPECT_TRUE(Enabled(kBackButton));
  EXPECT_EQ(Text(kNextButton), "Next");
  EXPECT_EQ(Text(kCancelButton), "Stop");
}

// A command from a disabled button (Wine delivers a click on one, and any
// program may post the message) must not move a page that is working.
TEST_F(FrameTest, DisabledButtonsDoNothing) {
  GoToPage(1);
  EnableWindow(NextButton(), FALSE);
  EnableWindow(BackButton(), FALSE);
  EnableWindow(Item(kCancelButton), FALSE);
  events.clear();
  Command(kNextButton);
  Command(kBackButton);
  Command(kCancelButton);
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(CurrentPage(), 1);
  EXPECT_EQ(Pump(), -1) << "the run goes on";
}

TEST_F(FrameTest, NoWayBackDisablesBackForGood) {
  enter_result[1] = kPageNoWayBack;
  GoToPage(0);
  Click(kNextButton);
  EXPECT_EQ(CurrentPage(), 1) << "the bit alone does not skip";
  EXPECT_FALSE(Enabled(kBackButton));
  Click(kNextButton);
  EXPECT_EQ(CurrentPage(), 2);
  EXPECT_FALSE(Enabled(kBackButton));
}

// The progress page's answer: work done, skip, no way back.
TEST_F(FrameTest, LastPageOffersFinishWhichEndsTheRunWithoutLeave) {
  enter_result[2] = kPageSkip | kPageNoWayBack;
  GoToPage(1);
  events.clear();
  Click(kNextButton);
  EXPECT_EQ(events, (std::vector<Event>{Leave(1, 1), Enter(2, 1), Leave(2, 1), Enter(3, 1)}));
  EXPECT_EQ(CurrentPage(), 3);
  EXPECT_EQ(Text(kNextButton), "Finish");
  EXPECT_FALSE(Enabled(kCancelButton));
  EXPECT_FALSE(Enabled(kBackButton));
  EXPECT_TRUE(Enabled(kNextButton));
  EXPECT_EQ(Pump(), -1);

  events.clear();
  Click(kNextButton);
  EXPECT_TRUE(events.empty()) << "the last page is never left";
  EXPECT_EQ(Pump(), 0) << "the run ends with code 0";
}

TEST_F(FrameTest, LastPageKeepsBackOffAndIgnoresEscape) {
  GoToPage(3);
  EXPECT_EQ(Text(kNextButton), "Finish");
  EXPECT_FALSE(Enabled(kBackButton));
  EXPECT_FALSE(Enabled(kCancelButton));
  EXPECT_TRUE(ConfirmCancel()) << "no question on the last page";
  // Escape arrives as the Cancel command; a finished run must not end as cancelled.
  Command(kCancelButton);
  EXPECT_EQ(CurrentPage(), 3);
  EXPECT_EQ(Pump(), -1);
}

TEST_F(FrameTest, DisabledPagesAreSteppedOverAndPageZeroIsAlwaysReachable) {
  PageTable()[0].enabled = 0;
  PageTable()[1].enabled = 0x100;  // only the low byte counts
  GoToPage(0);
  events.clear();
  Click(kNextButton);
  EXPECT_EQ(CurrentPage(), 2);
  Click(kBackButton);
  EXPECT_EQ(CurrentPage(), 0);
  EXPECT_EQ(events, (std::vector<Event>{Leave(0, 1), Enter(2, 1), Leave(2, 0), Enter(0, 0)}));

  PageTable()[3].enabled = 0;
  GoToPage(2);
  events.clear();
  Click(kNextButton);
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(Pump(), 0) << "past the last enabled page the run ends";
}

TEST_F(FrameTest, SkippingBackwardStopsAtTheFirstPage) {
  GoToPage(2);
  enter_result[1] = kPageSkip;
  enter_result[0] = kPageSkip;
  events.clear();
  Click(kBackButton);
  EXPECT_EQ(events, (std::vector<Event>{Leave(2, 0), Enter(1, 0), Leave(1, 0), Enter(0, 0)}));
  EXPECT_EQ(CurrentPage(), 0);
  EXPECT_FALSE(Enabled(kBackButton));
  GoToPage(-1);
  EXPECT_EQ(CurrentPage(), 0);
}

TEST_F(FrameTest, SameTextTwiceRepaintsOnceAndOnlyTheTextRectangle) {
  GoToPage(0);
  UpdateWindow(frame_);
  paints = 0;
  SetPageText("Press Next to continue.");
  RECT update;
  ASSERT_TRUE(GetUpdateRect(frame_, &update, FALSE));
  EXPECT_TRUE(SameRect(update, Dlu(25, 75, 375, 250)));
  UpdateWindow(frame_);
  EXPECT_EQ(paints, 1);

  std::string same = "Press Next to continue.";  // another copy of the same text
  SetPageText(same.c_str());
  EXPECT_FALSE(GetUpdateRect(frame_, &update, FALSE));
  UpdateWindow(frame_);
  EXPECT_EQ(paints, 1);

  SetPageText(nullptr);
  UpdateWindow(frame_);
  EXPECT_EQ(paints, 2);
  SetPageText(nullptr);
  UpdateWindow(frame_);
  EXPECT_EQ(paints, 2);
}

// A 32 x 32 icon file of one colour.
std::string IconFileBytes() {
  constexpr int kSize = 32;
  const std::string pixels(kSize * kSize * 4, '\x60');
  const std::string mask(kSize * kSize / 8, '\0');
  BITMAPINFOHEADER header{sizeof header,
                          kSize,
                          kSize * 2,
                          1,
                          32,
                          BI_RGB,
                          static_cast<DWORD>(pixels.size() + mask.size()),
                          0,
                          0,
                          0,
                          0};
  const std::string image =
      std::string(reinterpret_cast<const char*>(&header), sizeof header) + pixels + mask;
  const WORD dir[3] = {0, 1, 1};
  const uint32_t bytes = static_cast<uint32_t>(image.size()), offset = 22;
  std::string file(reinterpret_cast<const char*>(dir), sizeof dir);
  file += std::string{char(kSize), char(kSize), 0, 0, 1, 0, 32, 0};
  file += std::string(reinterpret_cast<const char*>(&bytes), 4);
  file += std::string(reinterpret_cast<const char*>(&offset), 4);
  return file + image;
}

// The colour bits of an icon, to tell two icons apart.
std::string IconBits(HICON icon) {
  ICONINFO info{};
  if (!GetIconInfo(icon, &info)) return "";
  BITMAP colour{};
  GetObjectA(info.hbmColor, sizeof colour, &colour);
  std::string bits(static_cast<size_t>(colour.bmWidthBytes) * colour.bmHeight, '\0');
  GetBitmapBits(info.hbmColor, static_cast<LONG>(bits.size()), bits.data());
  DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  return bits;
}

// The program's own icon, the one the system shows for its file; an icon
// file named by ICON does not replace it.
TEST_F(FrameTest, ClassIconIsTheProgramsOwn) {
  const int size = GetSystemMetrics(SM_CXICON);
  HICON own = static_cast<HICON>(
      LoadImageA(GetModuleHandleA(nullptr), "MERIDOX_ICON", IMAGE_ICON, size, size, 0));
  ASSERT_NE(own, nullptr) << "the test program carries the installer's resources";
  const std::string own_bits = IconBits(own);
  ASSERT_FALSE(own_bits.empty());
  EXPECT_EQ(IconBits(reinterpret_cast<HICON>(GetClassLongPtrA(frame_, GCLP_HICON))), own_bits);
  EXPECT_NE(GetClassLongPtrA(frame_, GCLP_HICONSM), 0);

  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  const std::string path = std::string(temp) + "frame_test.ico";
  const std::string bytes = IconFileBytes();
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);

  SetVariable("ICON", path.c_str());
  DestroyWindow(frame_);
  Pump();
  UnregisterClassA(kFrameClass, GetModuleHandleA(nullptr));
  ASSERT_EQ(CreateFrame(), FrameStatus::kShown);
  frame_ = FrameWindow();
  EXPECT_EQ(IconBits(reinterpret_cast<HICON>(GetClassLongPtrA(frame_, GCLP_HICON))), own_bits);
  ClearVariable("ICON");
  DeleteFileA(path.c_str());
}

TEST_F(FrameTest, BusyBoxShowsTheHourglassAndGivesTheCursorBack) {
  HCURSOR before = LoadCursorA(nullptr, IDC_ARROW);
  SetCursor(before);
  ShowBusy("Running the installer");
  ShowBusy("Running the installer");  // twice: the arrow is still what comes back
  HWND box = FindWindowExA(frame_, nullptr, "Edit", nullptr);
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(IsWindowVisible(box));
  char text[64];
  GetWindowTextA(box, text, sizeof text);
  EXPECT_STREQ(text, "Running the installer");
  // An edit control takes WS_BORDER out of its style and draws the border itself.
  const LONG style = GetWindowLongA(box, GWL_STYLE);
  EXPECT_EQ(style & (ES_READONLY | ES_CENTER | ES_MULTILINE),
            ES_READONLY | ES_CENTER | ES_MULTILINE);
  RECT r;
  GetWindowRect(box, &r);
  MapWindowPoints(nullptr, frame_, reinterpret_cast<POINT*>(&r), 2);
  RECT expected = Dlu(25, 75, 200, 135);
  AdjustWindowRect(&expected, WS_BORDER, FALSE);
  EXPECT_TRUE(SameRect(r, expected));
  EXPECT_EQ(GetCursor(), LoadCursorA(nullptr, IDC_WAIT));

  HideBusy();
  EXPECT_FALSE(IsWindowVisible(box));
  EXPECT_EQ(GetCursor(), before);
}

RECT InFrame(HWND control, HWND frame) {
  RECT r;
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, frame, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// A move to a monitor of another DPI: the frame takes the rectangle the
// system suggests where it fits the work area, else shrinks into it; each
// control, a page's too, is placed again in proportion in a font of that
// scale; back at the first DPI all is as it was.
TEST_F(FrameTest, FollowsAMoveToAMonitorOfAnotherDpi) {
  ShowBusy("Installing components - Please wait, this may take several minutes");
  const std::vector<HWND> controls{BackButton(), NextButton(),
                                   FindWindowExA(frame_, nullptr, "Edit", nullptr)};
  RECT first, work, now;
  GetWindowRect(frame_, &first);
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  std::vector<RECT> at_first;
  for (HWND c : controls) at_first.push_back(InFrame(c, frame_));
  HDC screen = GetDC(nullptr);
  const int system_dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  for (const int dpi : {120, 192, system_dpi}) {
    SCOPED_TRACE(dpi);
    RECT suggested = first;
    suggested.right = first.left + MulDiv(first.right - first.left, dpi, system_dpi);
    suggested.bottom = first.top + MulDiv(first.bottom - first.top, dpi, system_dpi);
    SendMessageA(frame_, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
    GetWindowRect(frame_, &now);
    const bool fits = suggested.right <= work.right && suggested.bottom <= work.bottom;
    if (fits) EXPECT_TRUE(SameRect(now, suggested));
    EXPECT_TRUE(now.left >= work.left && now.top >= work.top && now.right <= work.right &&
                now.bottom <= work.bottom);
    const double scale =
        fits ? double(dpi) / system_dpi : double(now.right - now.left) / (first.right - first.left);
    EXPECT_GT(scale, 1.2 * (dpi > system_dpi));
    for (size_t i = 0; i < controls.size(); i++) {
      const RECT r = InFrame(controls[i], frame_);
      EXPECT_NEAR(r.left, at_first[i].left * scale, 1 + scale) << i;
      EXPECT_NEAR(r.bottom, at_first[i].bottom * scale, 1 + scale) << i;
      LOGFONTA font{};
      GetObjectA(reinterpret_cast<HFONT>(SendMessageA(controls[i], WM_GETFONT, 0, 0)), sizeof font,
                 &font);
      EXPECT_NEAR(-font.lfHeight, 11 * scale * system_dpi / 96, 1.5) << i;
    }
  }
  EXPECT_TRUE(SameRect(now, first));
  for (size_t i = 0; i < controls.size(); i++)
    EXPECT_TRUE(SameRect(InFrame(controls[i], frame_), at_first[i]));
  EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageA(NextButton(), WM_GETFONT, 0, 0)),
            GetStockObject(DEFAULT_GUI_FONT));
  HideBusy();
}

}  // namespace
