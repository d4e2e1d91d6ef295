// The four pages of the wizard, in page order.
#pragma once

#include "wininst/core/page.h"

LRESULT WelcomePage(HWND frame, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT InstDirPage(HWND frame, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT ProgressPage(HWND frame, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT CompletionPage(HWND frame, UINT message, WPARAM wparam, LPARAM lparam);

// Carries out what the user chose on the completion page: the quickstart
// guide, the documents, then the Java installer or the IDE. Does nothing when
// the page was passed over. Called once the message loop has ended.
void RunPostWizardChoices();

// Puts the page procedures into the frame's page table.
void InstallWizardPages();
