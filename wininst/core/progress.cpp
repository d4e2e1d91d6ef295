#include "wininst/core/progress.h"

#include <windows.h>

#include "wininst/core/runlog.h"

namespace {
ProgressView* view;
WorkWindow* work_window;
ProgressCounter counter;
}  // namespace

void SetWorkWindow(WorkWindow* window) {
  work_window = window;
}

void SetProgressView(ProgressView* v) {
  view = v;
}

void ReportProgress(int position, const char* line) {
  if (line) LogStatus(line);
  if (view) view->Report(position, line);
}

bool ProgressShown() {
  return view != nullptr || RunLogged();
}

void FlushProgress() {
  if (view) view->Flush();
  FlushRunLog();
}

void ShowBusy(const char* text) {
  if (work_window) work_window->ShowBusy(text);
}

void HideBusy() {
  if (work_window) work_window->HideBusy();
}

void* ProgressWindow() {
  return work_window ? work_window->Handle() : nullptr;
}

void ProgressCounter::Plan(uint64_t total, bool falling) {
  total_ = total;
  falling_ = falling;
  // A rising bar counts from its units' sum rounded so that the finished
  // work lands near 100.
  unit_ = (total + 99) / 100;
  done_ = 0;
}

void ProgressCounter::Add(uint64_t amount) {
  if (!total_) return;
  done_ += amount;
  ReportProgress(Position(), nullptr);
}

int ProgressCounter::Position() const {
  if (!total_) return 0;
  if (falling_) return static_cast<int>((total_ - (done_ < total_ ? done_ : total_)) * 100 / total_);
  return static_cast<int>((done_ + unit_ - 1) / unit_);
}

ProgressCounter& Progress() {
  return counter;
}

NestedPump::~NestedPump() {
  if (quit_) PostQuitMessage(*quit_);
}

bool NestedPump::Pump() {
  MSG msg;
  while (!quit_ && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      quit_ = static_cast<int>(msg.wParam);
      break;
    }
    HWND frame = static_cast<HWND>(ProgressWindow());
    if (!frame || !IsDialogMessageA(frame, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  return quit_.has_value();
}
