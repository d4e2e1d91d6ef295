#include "wininst/core/progress.h"

namespace {
ProgressView* view;
}

void SetProgressView(ProgressView* v) {
  view = v;
}

void ReportProgress(int position, const char* line) {
  if (view) view->Report(position, line);
}

bool ProgressShown() {
  return view != nullptr;
}

void FlushProgress() {
  if (view) view->Flush();
}
