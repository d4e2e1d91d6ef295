// The install progress page: entering it runs the installation, the repair or
// the removal to its end while a status box and a bar show how far it got.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/messages.h"
#include "wininst/core/page.h"
#include "wininst/core/progress.h"
#include "wininst/core/variables.h"
#include "wininst/core/runmode.h"
#include "wininst/install/work.h"
#include "wininst/pages/pages.h"

namespace {

constexpr int kStatusBoxId = 501;
constexpr int kProgressBarId = 502;
constexpr size_t kBoxLimit = 10000;  // a fuller box is cut to its last kBoxKeep characters
constexpr size_t kBoxKeep = 5000;
constexpr int kLineLimit = 2048;
// While the work reports, the window's messages are handled this often; the
// bar follows at most this often, the status box takes the new lines at most
// this often, and less often when handing it text takes long (the box costs no
// more than about a fiftieth of the work), but at least once a second. A line
// repainted at every report made an interactive installation many times slower
// than a headless one; under Wine every repaint is dear (measured: about
// 15 ms for the box, 1.5 ms for the bar, whatever the box holds). Twenty
// answers and five bar steps a second keep the page alive; twice as many
// made an installation of 2,000 files about 2% slower.
constexpr DWORD kPumpMs = 50;
constexpr DWORD kBarMs = 200;
constexpr DWORD kRefreshMs = 200;
constexpr DWORD kRefreshCostShare = 50;
constexpr DWORD kRefreshAtLeastMs = 1000;

// The status box and the bar. The box's text is kept here and handed to the
// control at each refresh, with only the part that changed.
class ProgressDisplay final : public ProgressView {
 public:
  void Enter(HWND frame);
  void Leave();
  void Report(int position, const char* line) override;
  void Flush() override;

 private:
  void AddLine(const char* line);
  void MoveBar();

  HWND box_ = nullptr;
  HWND bar_ = nullptr;
  bool bar_hidden_ = false;
  int bar_shown_ = 0;   // where the bar stands
  int bar_wanted_ = 0;  // where the reports want it
  std::string text_;    // what the box holds once it is up to date
  size_t changed_from_ = std::string::npos;
  size_t last_line_length_ = 0;
  DWORD last_pump_ = 0;
  DWORD last_refresh_ = 0;
  DWORD last_bar_ = 0;
  DWORD refresh_every_ = kRefreshMs;
};

ProgressDisplay display;

void ProgressDisplay::Enter(HWND frame) {
  if (!box_) {
    const DWORD box_style = WS_BORDER | WS_VSCROLL | ES_READONLY | ES_MULTILINE;
    box_ = MakeControl("EDIT", "", box_style, kStatusBoxId);
    bar_ = MakeControl(PROGRESS_CLASSA, nullptr, 0, kProgressBarId);
    PlaceControl(box_, 25, 162, 350, 62, box_style);
    PlaceControl(bar_, 25, 230, 350, 10, WS_BORDER);
    SendMessageA(bar_, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  }
  SetWindowTextA(box_, "");
  text_.clear();
  changed_from_ = std::string::npos;
  last_line_length_ = 0;
  ShowWindow(box_, SW_SHOW);
  ShowWindow(bar_, SW_SHOW);
  bar_hidden_ = false;
  SetProgressView(this);
  EnableNext(false, false);
  EnableWindow(BackButton(), FALSE);
  // The page must be on the screen before the work starts.
  RedrawWindow(frame, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  last_pump_ = last_refresh_ = last_bar_ = GetTickCount();
}

void ProgressDisplay::Leave() {
  if (!box_) return;
  Flush();
  ShowWindow(box_, SW_HIDE);
  ShowWindow(bar_, SW_HIDE);
  SetPageText(nullptr);
  // A program run from the completion page reports too: the bar it would
  // bring back belongs to this page.
  SetProgressView(nullptr);
}

void ProgressDisplay::Report(int position, const char* line) {
  if (position == -1) {
    ShowWindow(bar_, SW_HIDE);
    bar_hidden_ = true;
  } else {
    if (bar_hidden_) {
      ShowWindow(bar_, SW_SHOW);
      bar_hidden_ = false;
    }
    bar_wanted_ = std::clamp(position, 0, 100);
  }
  if (line) AddLine(line);
  const DWORD now = GetTickCount();
  if (now - last_pump_ < kPumpMs) return;
  if (now - last_refresh_ >= refresh_every_) {
    Flush();
    last_refresh_ = GetTickCount();
    refresh_every_ =
        std::clamp(kRefreshCostShare * (last_refresh_ - now), kRefreshMs, kRefreshAtLeastMs);
  } else if (now - last_bar_ >= kBarMs) {
    MoveBar();
  }
  // The quit message is not ours to take: the message loop must still see it.
  NestedPump().Pump();
  last_pump_ = GetTickCount();
}

void ProgressDisplay::MoveBar() {
  last_bar_ = GetTickCount();
  if (bar_wanted_ == bar_shown_) return;
  SendMessageA(bar_, PBM_SETPOS, static_cast<WPARAM>(bar_wanted_), 0);
  bar_shown_ = bar_wanted_;
}

// A box fuller than kBoxLimit is first cut to its last kBoxKeep characters;
// a line that begins with a carriage return replaces the latest line.
void ProgressDisplay::AddLine(const char* line) {
  if (text_.size() > kBoxLimit) {
    text_.erase(0, text_.size() - kBoxKeep);
    changed_from_ = 0;
  }
  size_t start = text_.size();
  if (line[0] == '\r') {
    line++;
    start = start > last_line_length_ ? start - last_line_length_ : 0;
  }
  char formatted[kLineLimit];
  snprintf(formatted, sizeof formatted, "%s\r\n", line);
  text_.resize(start);
  text_ += formatted;
  changed_from_ = std::min(changed_from_, start);
  last_line_length_ = strlen(formatted);
}

void ProgressDisplay::Flush() {
  if (!box_) return;
  MoveBar();
  if (changed_from_ == std::string::npos) return;
  if (changed_from_ == 0) {
    SetWindowTextA(box_, text_.c_str());
  } else {
    SendMessageA(box_, EM_SETSEL, changed_from_, -1);
    SendMessageA(box_, EM_REPLACESEL, FALSE,
                 reinterpret_cast<LPARAM>(text_.c_str() + changed_from_));
  }
  changed_from_ = std::string::npos;
  SendMessageA(box_, EM_SETSEL, text_.size(), text_.size());
  SendMessageA(box_, EM_SCROLLCARET, 0, 0);
  UpdateWindow(box_);
}

void ForgetReadingOffers() {
  ClearVariable("ReadQuickstart");
  ClearVariable("ReadPDFs");
}

bool Interactive() {
  return !Mode().headless && FrameWindow();
}

}  // namespace

LRESULT ProgressPage(HWND frame, UINT message, WPARAM, LPARAM) {
  if (message == kPageEnter) {
    if (Interactive()) {
      SetPageText(Mode().remove ? "Uninstalling files and updating the registry"
                                   : "Installing files and updating the registry");
      display.Enter(frame);
    }
    DoRunWork();
    // The completion page offers no reading after a repair or removal.
    if (!Mode().install) ForgetReadingOffers();
    FlushProgress();
    return kPageSkip | kPageNoWayBack;
  }
  if (message == kPageLeave) {
    if (Mode().headless) {
      ForgetReadingOffers();
    } else {
      display.Leave();
    }
    return kPageNoWayBack;
  }
  return kPageNotHandled;
}

PageDescriptor ProgressDescriptor() {
  return {1, "Copyfiles", "Installing new files", ProgressPage, false};
}
