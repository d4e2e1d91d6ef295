// Message functions for host tests: boxes are recorded instead of shown, and
// a fatal error throws FatalExit so that a test can look at its text.
#pragma once

#include <string>
#include <vector>

struct FatalExit {
  std::string text;
};

struct RecordedBox {
  std::string kind;  // "retry", "yesno", "info", "error", "notice"
  std::string caption;
  std::string text;
};

namespace messages_double {
extern std::vector<RecordedBox> boxes;
extern bool answer;  // what AskRetry and AskYesNo return
void Reset();
}  // namespace messages_double
