// The run's log: one line per event, each beginning with its local time,
// appended to the file that --log= names (the LogFile variable), or, in an
// unattended run without one, to "MERIDOX Installer.log" in the user's
// temporary folder. It records the run's start and end, the progress
// page's status lines, every box with the answer taken, downloads and
// external programs. Without a log every function here does nothing.
#pragma once

#include <string>

// The log's own printf check: the log stands below the messages, which log
// every box.
#define RUNLOG_PRINTF(f, a) __attribute__((format(printf, f, a)))

// Opens the log the command line asks for, if any. A log that is not a
// plain file named by a full path (a link, a file with other names, a
// folder) is refused: the reason is returned (empty otherwise), and the
// run ends with it before it does anything.
std::string OpenRunLog(const char* command_line);
bool RunLogged();
// A line of the log; the text's line ends become " | ".
void LogLine(const char* format, ...) RUNLOG_PRINTF(1, 2);
// A status line of the progress page: one that begins with "\r" replaces
// the latest such line and reaches the log only when another line follows
// or the log ends (a download's rate, say, is logged as it ended).
void LogStatus(const char* line);
// Writes what is kept back to the file: before the run waits.
void FlushRunLog();
// The run's end with its exit code; the log is closed.
void EndRunLog(int code);
