#include "tests/unit/host/messages_double.h"

#include <cstdarg>
#include <cstdio>

#include "common/messages.h"
#include "wininst/core/variables.h"

namespace messages_double {
std::vector<RecordedBox> boxes;
bool answer = true;
void Reset() {
  boxes.clear();
  answer = true;
}
}  // namespace messages_double

using messages_double::boxes;

bool AskRetry(const char* caption, const char* format, ...) {
  FORMAT_MESSAGE(t, format);
  boxes.push_back({"retry", caption, t});
  return messages_double::answer;
}

bool AskYesNo(const char* caption, const char* format, ...) {
  FORMAT_MESSAGE(t, format);
  boxes.push_back({"yesno", caption, t});
  return messages_double::answer;
}

int ShowInfo(const char* caption, const char* format, ...) {
  FORMAT_MESSAGE(t, format);
  boxes.push_back({"info", caption, t});
  return 1;
}

void ShowError(const char* caption, const char* format, ...) {
  FORMAT_MESSAGE(t, format);
  boxes.push_back({"error", caption, t});
  if (IsTrue("HeadlessInstall")) throw FatalExit{t};
}

void ShowNotice(const char* format, ...) {
  if (IsTrue("SuppressMessages")) return;
  FORMAT_MESSAGE(t, format);
  boxes.push_back({"notice", "Error", t});
}

void Fatal(const char* format, ...) {
  FORMAT_MESSAGE(t, format);
  boxes.push_back({"fatal", "Fatal error", t});
  throw FatalExit{t};
}

void FatalText(const char* text) {
  Fatal("%s", text);
}
void FatalCode(int code) {
  Fatal("Error %d", code);
}
