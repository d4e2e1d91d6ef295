// The four pages of the wizard, in page order.
#pragma once

#include "wininst/core/page.h"

LRESULT WelcomePage(HWND frame, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT InstDirPage(HWND frame, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT ProgressPage(HWND frame, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT CompletionPage(HWND frame, UINT message, WPARAM wparam, LPARAM lparam);

// Puts the page procedures into the frame's page table.
void InstallWizardPages();
