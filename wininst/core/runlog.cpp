#include "wininst/core/runlog.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/compat.h"
#include "common/osdep.h"
#include "wininst/core/paths.h"
#include "wininst/core/plainfile.h"
#include "wininst/core/runmode.h"
#include "wininst/core/variables.h"

namespace {

// The text of a printf format with its arguments, cut at 4095 characters.
std::string Formatted(const char* format, va_list args) {
  char text[4096];
  vsnprintf(text, sizeof text, format, args);
  return text;
}

constexpr const char* kDefaultName = "MERIDOX Installer.log";
// Lines are kept back until this much waits, or a second has passed, or
// the run waits (a box, another program).
constexpr size_t kKeptBack = 16 * 1024;
constexpr DWORD kKeptBackMs = 1000;

HANDLE log_file = INVALID_HANDLE_VALUE;
std::string kept_back;
DWORD last_write;
// The latest status line that another may still replace.
std::string replaceable;

void Write() {
  if (log_file == INVALID_HANDLE_VALUE || kept_back.empty()) return;
  DWORD written;
  // A log that cannot be written loses its lines, never the run.
  WriteFile(log_file, kept_back.data(), static_cast<DWORD>(kept_back.size()), &written, nullptr);
  kept_back.clear();
  last_write = GetTickCount();
}

void Append(const char* text) {
  SYSTEMTIME t;
  GetLocalTime(&t);
  char stamp[32];
  snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u ", t.wYear, t.wMonth, t.wDay, t.wHour,
           t.wMinute, t.wSecond);
  kept_back += stamp;
  for (const char* p = text; *p; p++) {
    if (*p == '\n') {
      kept_back += " | ";
    } else if (*p != '\r') {
      kept_back += *p;
    }
  }
  kept_back += "\r\n";
  if (kept_back.size() >= kKeptBack || GetTickCount() - last_write >= kKeptBackMs) Write();
}

void AppendReplaceable() {
  if (replaceable.empty()) return;
  Append(replaceable.c_str());
  replaceable.clear();
}

// The log's name: from the command line, or the unattended run's default.
std::string LogName() {
  if (const char* name = GetVariable("LogFile")) return name;
  if (!Mode().unattended) return {};
  char temp[MAX_PATH];
  const DWORD n = GetTempPathA(sizeof temp, temp);
  if (n == 0 || n >= sizeof temp) return {};
  std::string path = temp;
  if (path.back() != '\\') path += '\\';
  return path + kDefaultName;
}

}  // namespace

namespace {

std::string Said(const char* format, ...) RUNLOG_PRINTF(1, 2);
std::string Said(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = Formatted(format, args);
  va_end(args);
  return text;
}

}  // namespace

std::string OpenRunLog(const char* command_line) {
  const std::string named = LogName();
  if (named.empty()) return {};
  std::string given = named;
  for (char& c : given) {
    if (c == '/') c = '\\';
  }
  // Neither a device's nor the raw form (\\?\, \\.\).
  if (!is_full_path(given.c_str()) || (given[0] == '\\' && (given[2] == '?' || given[2] == '.'))) {
    return Said("The log file \"%s\" is not a full path.", named.c_str());
  }
  // One form, as the system reads it: every folder on the way is looked at.
  const std::string name = SystemForm(given.c_str());
  const char* path = name.c_str();
  // The run has administrator rights: its log goes nowhere a link leads,
  // neither through a linked folder on the way nor through the file itself.
  HANDLE file;
  std::string where;
  switch (OpenPlainFile(name, "", FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, file, where)) {
    case PlainFile::kOpened:
      break;
    case PlainFile::kFailed:
      return Said("Can't open the log file %s\nError %lu", path, GetLastError());
    case PlainFile::kLinkOnTheWay:
      return Said(
          "The log file %s lies in %s, a link to another place.\nGive a log file in a plain "
          "folder.",
          path, where.c_str());
    case PlainFile::kLinkOrOtherNames:
      return Said("The log file %s is a link, or a file with other names.\nGive a plain file.",
                  path);
    case PlainFile::kElsewhere:
      return Said(
          "The log file %s leads to %s, through a link.\nGive a log file in a plain folder.", path,
          where.c_str());
  }
  log_file = file;
  last_write = GetTickCount();
  char program[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, program, sizeof program);
  LogLine("Started: \"%s\" %s", n && n < sizeof program ? program : "?", command_line);
  return {};
}

bool RunLogged() {
  return log_file != INVALID_HANDLE_VALUE;
}

void LogLine(const char* format, ...) {
  if (!RunLogged()) return;
  va_list args;
  va_start(args, format);
  const std::string line = Formatted(format, args);
  va_end(args);
  const char* text = line.c_str();
  AppendReplaceable();
  Append(text);
}

void LogStatus(const char* line) {
  if (!RunLogged()) return;
  if (line[0] == '\r') {
    replaceable = line + 1;
    return;
  }
  AppendReplaceable();
  Append(line);
}

void FlushRunLog() {
  Write();
}

void EndRunLog(int code) {
  if (!RunLogged()) return;
  LogLine("Ended with exit code %d", code);
  Write();
  CloseHandle(log_file);
  log_file = INVALID_HANDLE_VALUE;
}
