// The one road by which the work reports how far it has got: extraction and
// copying, external installers and downloads, the removal. The progress page
// shows the reports; without it (a headless run) a report does nothing at all.
#pragma once

// Moves the bar to `position` (0 to 100; -1 hides it) and adds `line` (null:
// none) to the status lines; a line that begins with "\r" replaces the
// latest line instead. Keeps the window answering between reports.
void ReportProgress(int position, const char* line);
// Whether anything shows the reports: a headless run need not compose lines.
bool ProgressShown();
// Brings the page up to date with every report at once: before the run
// waits for the user or for another program.
void FlushProgress();

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
