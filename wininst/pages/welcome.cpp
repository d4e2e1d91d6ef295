// The welcome page: greets a fresh installation (and checks it against a
// newer installed version), or lets an installed copy choose between repair
// and removal, and confirms a removal.
#include <windows.h>

#include "common/handle.h"
#include "wininst/core/messages.h"
#include "wininst/core/page.h"
#include "wininst/core/runmode.h"
#include "wininst/core/variables.h"
#include "wininst/install/registration.h"
#include "wininst/pages/pages.h"

namespace {

constexpr int kRemoveButton = 601;
constexpr int kRepairButton = 602;
constexpr DWORD kRadioStyle = WS_TABSTOP | BS_AUTORADIOBUTTON;

// Made on the first entry and kept for the run.
struct Welcome {
  TextHandle text;
  HWND box = nullptr;  // the frame around the two choices
  HWND repair = nullptr;
  HWND remove = nullptr;
} page;

// A fresh installation may go on at once; a maintenance run once a choice is made.
void UpdateNext() {
  const bool go = Mode().install || IsChecked(page.repair) || IsChecked(page.remove);
  EnableNext(go, go);
}

const char* Template() {
  if (Mode().install) {
    return VariableEquals("PatchLevel", "PL0")
               ? "This program will install\n[Description] version [Version].\n"
                 "Press Next to continue."
               : "This program will install\n[Description] version [Version][PatchLevel].\n"
                 "Press Next to continue.";
  }
  return Mode().remove ? "This program will remove\n[Description] version [FullVersion].\n"
                            "Select an option and press Next to continue."
                          : "This program will repair or remove\n[Description] version "
                            "[FullVersion].\nSelect an option and press Next to continue.";
}

void Compose() {
  page.box = MakeControl("STATIC", nullptr, WS_BORDER, 0);
  if (!Mode().install) {
    const bool remove_only = Mode().remove;
    if (!remove_only)
      page.repair = MakeControl("BUTTON", "Repair the installation", kRadioStyle, kRepairButton);
    page.remove = MakeControl("BUTTON", "&Remove the installation", kRadioStyle, kRemoveButton);
    if (remove_only) SendMessageA(page.remove, BM_SETCHECK, BST_CHECKED, 0);
    if (page.repair) {
      PlaceControl(page.box, 25, 205, 350, 35, WS_BORDER);
      PlaceControl(page.repair, 30, 210, 340, 10, kRadioStyle);
    } else {
      PlaceControl(page.box, 25, 220, 350, 20, WS_BORDER);
    }
    PlaceControl(page.remove, 30, 225, 340, 10, kRadioStyle);
    EnableNext(false, false);
  }
  page.text.reset(ExpandVariables(Template()));
}

void ShowChoices(bool show) {
  if (!page.repair && !page.remove) return;
  for (HWND control : {page.box, page.repair, page.remove}) {
    if (control) ShowWindow(control, show ? SW_SHOW : SW_HIDE);
  }
}

LRESULT Enter() {
  if (!page.text) Compose();
  ShowChoices(true);
  SetPageText(page.text.get());
  if (Mode().install && IsTrue("CheckInstalledVersions") && !CheckNewerVersion()) AbortRun();
  UpdateNext();
  return kPageShown;
}

LRESULT Leave() {
  // The user's choice decides the run: remove, or else repair (a fresh
  // installation leaves with the repair flag set too, as the completion
  // page's text expects).
  RunMode mode = Mode();
  mode.remove = IsChecked(page.remove);
  mode.repair = !mode.remove;
  SetRunMode(mode);
  if (mode.remove &&
      !AskYesNo("Remove installation", "Are you sure you want to completely remove\n%s V%s?",
                VariableOr("Description"), VariableOr("Version"))) {
    return kPageVeto;
  }
  ShowChoices(false);
  SetPageText(nullptr);
  return 0;
}

}  // namespace

LRESULT WelcomePage(HWND, UINT message, WPARAM wparam, LPARAM) {
  // Nothing to greet or ask: the page passes itself over.
  if (Mode().headless || Mode().proceed) return kPageSkip;
  switch (message) {
    case kPageEnter:
      return Enter();
    case kPageLeave:
      return Leave();
    case WM_COMMAND:
      if (LOWORD(wparam) == kRemoveButton || LOWORD(wparam) == kRepairButton) {
        UpdateNext();
        return kPageHandled;
      }
      break;
  }
  return kPageNotHandled;
}

PageDescriptor WelcomeDescriptor() {
  return {1, "Welcome", "Preparing to install", WelcomePage, true};
}
