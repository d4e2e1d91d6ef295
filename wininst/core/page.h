// What a wizard page sees of the frame: the page protocol and the few
// services the frame offers its pages. A page is a procedure that sees every
// message of the frame first; it makes its controls as children of the frame
// when it is entered and hides them when it is left.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>

// For the enter and leave messages the result carries the bits below; for any
// other message 0 means handled (the frame then does nothing more) and
// anything else means not handled. The frame handle is null in a headless run.
using PageProc = LRESULT (*)(HWND frame, UINT message, WPARAM wparam, LPARAM lparam);

// Each page carries its own descriptor; the pages give the frame their
// table (SetPageTable), so that adding a page touches the pages alone.
struct PageDescriptor {
  int32_t enabled;  // the low byte decides whether Next and Back stop at the page
  const char* name;
  const char* title;
  PageProc procedure;
  // The page passes itself over in a run that proceeds without questions
  // (DoProceed): Back never leads to it then.
  bool passed_over_when_proceeding;
};

// The page table, in page order: index `count` means the sequence has ended,
// and the last page is the completion page (Finish, no Cancel). The table
// stays the caller's.
void SetPageTable(PageDescriptor* pages, int count);
PageDescriptor* PageTable();
int PageCount();

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

// Null in a headless run, before the frame exists and once it is gone.
HWND FrameWindow();
HWND NextButton();
HWND BackButton();

// The text painted in the page text rectangle; null removes it. The same
// text again changes nothing.
void SetPageText(const char* text);
// A hidden child control of the frame (null without a frame); PlaceControl
// shows it.
HWND MakeControl(const char* window_class, const char* text, DWORD style, int id);
// Moves a child of the frame to a rectangle in dialog units, enlarged by the
// window frame of `style`, gives it the GUI font and shows it.
void PlaceControl(HWND control, int x, int y, int width, int height, DWORD style);
void DialogToPixels(RECT* rect);
// Whether a check box or radio button of the page is checked (false for null).
bool IsChecked(HWND button);
// Enables or disables Next; an enabled Next may take the keyboard focus.
void EnableNext(bool enabled, bool focus);

