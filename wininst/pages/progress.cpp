// The install progress page: entering it runs the installation, the repair or
// the removal to its end while a status box and a bar show how far it got.
#include "wininst/pages/progress.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "wininst/install/engine.h"
#include "wininst/core/frame.h"
#include "wininst/pages/pages.h"
#include "wininst/core/product.h"
#include "wininst/install/removal.h"
#include "wininst/install/shortcuts.h"
#include "wininst/core/variables.h"

namespace {

constexpr int kStatusBoxId = 501;
constexpr int kProgressBarId = 502;
constexpr int kBoxLimit = 10000;  // a fuller box is cut to its last kBoxKeep characters
constexpr int kBoxKeep = 5000;
constexpr int kLineLimit = 2048;

HWND status_box;
HWND progress_bar;
bool bar_hidden;
int last_line_length;

bool Interactive() { return !IsTrue("HeadlessInstall") && FrameWindow(); }

void AddLine(const char* line) {
  int length = GetWindowTextLengthA(status_box);
  if (length > kBoxLimit) {
    std::string text(static_cast<size_t>(length) + 1, '\0');
    GetWindowTextA(status_box, text.data(), length + 1);
    text.resize(static_cast<size_t>(length));
    SetWindowTextA(status_box, text.substr(text.size() - kBoxKeep).c_str());
    length = kBoxKeep;
  }
  int start = length;
  if (line[0] == '\r') {
    // A line that begins with a carriage return replaces the latest one.
    line++;
    start = start > last_line_length ? start - last_line_length : 0;
  }
  char formatted[kLineLimit];
  snprintf(formatted, sizeof formatted, "%s\r\n", line);
  SendMessageA(status_box, EM_SETSEL, static_cast<WPARAM>(start), -1);
  SendMessageA(status_box, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(formatted));
  SendMessageA(status_box, EM_SCROLLCARET, 0, 0);
  UpdateWindow(status_box);
  last_line_length = static_cast<int>(strlen(formatted));
}

// One waiting message, so that the window stays alive between reports.
void DispatchOne() {
  MSG msg;
  if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return;
  if (msg.message == WM_QUIT) {
    // Not ours to take: the message loop must still see it.
    PostQuitMessage(static_cast<int>(msg.wParam));
    return;
  }
  if (!IsDialogMessageA(FrameWindow(), &msg)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

void MakeControls(HWND frame) {
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(frame, GWLP_HINSTANCE));
  DWORD box_style = WS_CHILD | WS_BORDER | WS_VSCROLL | ES_READONLY | ES_MULTILINE;
  status_box = CreateWindowExA(0, "EDIT", "", box_style, 0, 0, 0, 0, frame,
                               reinterpret_cast<HMENU>(kStatusBoxId), instance, nullptr);
  progress_bar = CreateWindowExA(0, PROGRESS_CLASSA, nullptr, WS_CHILD, 0, 0, 0, 0, frame,
                                 reinterpret_cast<HMENU>(kProgressBarId), instance, nullptr);
  PlaceControl(status_box, 25, 162, 350, 62, box_style);
  PlaceControl(progress_bar, 25, 230, 350, 10, WS_CHILD | WS_BORDER);
  SendMessageA(progress_bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
}

void ForgetReadingOffers() {
  ClearVariable("ReadQuickstart");
  ClearVariable("ReadPDFs");
}

void DoTheWork() {
  if (IsTrue("Install")) {
    InstallFeatures();
    RegisterProduct();
    CreateShortcuts();
    WriteInstalledManifest();
  } else if (IsTrue("Repair")) {
    // A repair rewrites the registry entries and shortcuts; it copies no files.
    RegisterProduct();
    CreateShortcuts();
    ForgetReadingOffers();
  }
  if (IsTrue("Remove")) {
    RemoveInstallation();
    UnregisterProduct();
    ForgetReadingOffers();
  }
}

}  // namespace

void ReportProgress(int position, const char* line) {
  if (!Interactive()) return;
  if (progress_bar) {
    if (position == -1) {
      ShowWindow(progress_bar, SW_HIDE);
      bar_hidden = true;
    } else {
      if (bar_hidden) {
        ShowWindow(progress_bar, SW_SHOW);
        bar_hidden = false;
      }
      SendMessageA(progress_bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    }
  }
  if (line && status_box) AddLine(line);
  DispatchOne();
}

LRESULT ProgressPage(HWND frame, UINT message, WPARAM, LPARAM) {
  if (message == kPageEnter) {
    if (Interactive()) {
      SetPageText(IsTrue("Remove") ? "Uninstalling files and updating the registry"
                                   : "Installing files and updating the registry");
      if (!status_box) MakeControls(frame);
      SetWindowTextA(status_box, "");
      last_line_length = 0;
      ShowWindow(status_box, SW_SHOW);
      ShowWindow(progress_bar, SW_SHOW);
      bar_hidden = false;
      EnableWindow(NextButton(), FALSE);
      EnableWindow(BackButton(), FALSE);
      // The page must be on the screen before the work starts.
      RedrawWindow(frame, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    }
    DoTheWork();
    return kPageSkip | kPageNoWayBack;
  }
  if (message == kPageLeave) {
    if (IsTrue("HeadlessInstall")) {
      ForgetReadingOffers();
    } else if (status_box) {
      ShowWindow(status_box, SW_HIDE);
      ShowWindow(progress_bar, SW_HIDE);
      SetPageText(nullptr);
    }
    return kPageNoWayBack;
  }
  return kPageNotHandled;
}
