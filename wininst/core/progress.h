// The one road by which the work reaches the window: how far it has got
// (extraction and copying, external installers and downloads, the removal),
// the busy box while another program works, the owner of what the work
// shows, and the messages that wait while it works. The progress page shows
// the reports; without it (a headless run) a report does nothing at all.
#pragma once

#include <cstdint>
#include <optional>

// Moves the bar to `position` (0 to 100; -1 hides it) and adds `line` (null:
// none) to the status lines; a line that begins with "\r" replaces the
// latest line instead. Keeps the window answering between reports.
void ReportProgress(int position, const char* line);
// Whether anything shows or logs the reports: a headless run without a log
// need not compose lines.
bool ProgressShown();
// Brings the page and the log up to date with every report at once: before
// the run waits for the user or for another program.
void FlushProgress();

// The busy box over the page while an external program runs or a download
// goes on (nothing without a window).
void ShowBusy(const char* text);
void HideBusy();
// The window that owns what the work shows (null without one).
void* ProgressWindow();

// How far the work has got, for the bar: planned once, when the work's size
// is known, and counted as it goes.
class ProgressCounter {
 public:
  // `total` units of work make the whole bar; a falling counter runs the bar
  // down from 100 (a removal).
  void Plan(uint64_t total, bool falling = false);
  // Counts from the beginning of the bar again.
  void Restart() { done_ = 0; }
  // Counts `amount` units and moves the bar there.
  void Add(uint64_t amount);
  // The bar's position for what is counted (rounded up; 0 while unplanned).
  int Position() const;
  bool Planned() const { return total_ != 0; }

 private:
  uint64_t total_ = 0;
  uint64_t unit_ = 0;  // units per percent of a rising bar
  uint64_t done_ = 0;
  bool falling_ = false;
};
// The run's counter.
ProgressCounter& Progress();

// A nested message pump, for work that waits inside a page (for another
// program, a download, a previous installation's clean-up): it handles the
// messages that wait, keeping the keyboard's navigation between the frame's
// controls. The quit message belongs to the message loop: Pump takes it,
// says so, and the pump puts it back when it ends.
class NestedPump {
 public:
  NestedPump() = default;
  ~NestedPump();
  NestedPump(const NestedPump&) = delete;
  NestedPump& operator=(const NestedPump&) = delete;
  // Handles every message that waits; true once the quit message came.
  bool Pump();

 private:
  std::optional<int> quit_;
};

// What the frame offers the work: it registers itself when it is made and
// goes when it is destroyed (none in a headless run).
class WorkWindow {
 public:
  virtual void ShowBusy(const char* text) = 0;
  virtual void HideBusy() = 0;
  virtual void* Handle() = 0;

 protected:
  ~WorkWindow() = default;
};
void SetWorkWindow(WorkWindow* window);

// What shows the reports.
class ProgressView {
 public:
  virtual void Report(int position, const char* line) = 0;
  virtual void Flush() = 0;

 protected:
  ~ProgressView() = default;
};
// The view that gets the reports from now on; null for none.
void SetProgressView(ProgressView* view);
