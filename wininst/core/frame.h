// The wizard frame: one fixed-size window that paints the background, the
// page text and the links, owns Back, Next and Cancel, and moves between the
// pages of the page table by the enter/leave protocol. Also the splash window
// shown while the archive is checked.
#pragma once

#include <windows.h>

#include <cstdint>

// Sees every message of the frame before the frame does. For the enter and
// leave messages the result carries the bits below; for any other message 0
// means handled (the frame then does nothing more) and anything else means
// not handled. The frame handle is null in a headless run.
using PageProc = LRESULT (*)(HWND frame, UINT message, WPARAM wparam, LPARAM lparam);

struct PageDescriptor {
  int32_t enabled;  // the low byte decides whether Next and Back stop at the page
  const char* name;
  const char* title;
  PageProc procedure;
};

// The pages are 0 to 3; index kPageCount means the sequence has ended.
constexpr int kPageCount = 4;
constexpr int kLastPage = kPageCount - 1;

// First parameter of both: 1 when the target index is above the current one.
constexpr UINT kPageEnter = WM_USER + 102;
constexpr UINT kPageLeave = WM_USER + 103;
// Enter results.
constexpr LRESULT kPageShown = 0;
constexpr LRESULT kPageSkip = 2;
constexpr LRESULT kPageNoWayBack = 4;
// Leave results.
constexpr LRESULT kPageVeto = 1;
// Any other message.
constexpr LRESULT kPageHandled = 0;
constexpr LRESULT kPageNotHandled = 1;

constexpr int kNextButton = 101;
constexpr int kBackButton = 102;
constexpr int kCancelButton = IDCANCEL;

// The frame's answer to WM_USER, which the dialog navigation sends as
// DM_GETDEFID: "has a default button, and it is Next", so Enter presses Next.
constexpr LRESULT kFrameDefaultButton = 0x534B0065;

// The four descriptors; tests may install page procedures of their own.
PageDescriptor* PageTable();

// Null before CreateFrame, in a headless run and once the frame is destroyed.
HWND FrameWindow();
HWND NextButton();
HWND BackButton();
// -1 before the first page is entered.
int CurrentPage();

enum class FrameStatus { kShown, kClassNotRegistered, kWindowNotCreated };

// Registers the class, creates, lays out and shows the frame, and starts a
// fresh page sequence (no current page, the no-way-back latch clear). A
// failure is left to the caller to report; GetLastError tells why.
FrameStatus CreateFrame();
LRESULT CALLBACK FrameProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Leaves the current page and enters `target` (skipping pages that pass
// themselves over); 4 ends the run with code 0; a negative target does nothing.
void GoToPage(int target);
// True when the user agrees to quit (asked everywhere but on the last page).
bool ConfirmCancel();

// The text painted in the page text rectangle; null removes it.
void SetPageText(const char* text);
// Moves a child of the frame to a rectangle in dialog units, enlarged by the
// window frame of `style`, gives it the GUI font and shows it.
void PlaceControl(HWND control, int x, int y, int width, int height, DWORD style);
void DialogToPixels(RECT* rect);

// The busy box over the page while an external program runs.
void ShowBusy(const char* text);
void HideBusy();

void ShowSplash();
void HideSplash();
