// The wizard frame: one fixed-size window that paints the background, the
// page text and the links, owns Back, Next and Cancel, and moves between the
// pages of the page table by the enter/leave protocol. Also the splash window
// shown while the archive is checked. What pages use of it is in page.h.
#pragma once

#include "wininst/core/page.h"

// The frame's answer to WM_USER, which the dialog navigation sends as
// DM_GETDEFID: "has a default button, and it is Next", so Enter presses Next.
constexpr LRESULT kFrameDefaultButton = 0x534B0065;

// -1 before the first page is entered.
int CurrentPage();

enum class FrameStatus { kShown, kClassNotRegistered, kWindowNotCreated };

// Registers the class, creates, lays out and shows the frame, and starts a
// fresh page sequence (no current page, the no-way-back latch clear). A
// failure is left to the caller to report; GetLastError tells why.
FrameStatus CreateFrame();

// Leaves the current page and enters `target` (skipping pages that pass
// themselves over); 4 ends the run with code 0; a negative target does nothing.
// Without a frame (a headless run) the same sequence runs without buttons.
void GoToPage(int target);
// True when the user agrees to quit (asked everywhere but on the last page).
bool ConfirmCancel();

void ShowSplash();
void HideSplash();
