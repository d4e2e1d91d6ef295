// The page procedures of the frame's page table, in page order.
#pragma once

#include "wininst/core/frame.h"

LRESULT WelcomePage(HWND frame, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT InstDirPage(HWND frame, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT ProgressPage(HWND frame, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT CompletionPage(HWND frame, UINT message, WPARAM wparam, LPARAM lparam);
