// The install progress page and the one road by which the work reports.
#pragma once

// Moves the bar (0..100, or -1 to hide it) and adds a status line (none:
// null). A line beginning with "\r" replaces the latest line. Silent in a
// headless run.
void ReportProgress(int position, const char* line);
