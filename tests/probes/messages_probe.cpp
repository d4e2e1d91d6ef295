// messages_probe.exe: calls the installer's own message functions in the
// order that the variable Calls lists them (comma-separated) and appends each
// answer, as "name=value", to the file named by Answers. Calls: retry, yesno,
// info, error, notice, long (a notice of 5000 characters), fatal. The run's
// temporary folder is made first, as the installer makes it, so that a test
// can see the fatal error's clean-up; the command line is read as the
// installer reads it.
#include <windows.h>

#include <cstdio>
#include <string>

#include "wininst/core/entry.h"
#include "wininst/core/messages.h"
#include "wininst/core/tempfiles.h"
#include "wininst/core/variables.h"

namespace {

void Answer(const std::string& name, int value) {
  if (FILE* f = fopen(GetVariable("Answers"), "a")) {
    fprintf(f, "%s=%d\n", name.c_str(), value);
    fclose(f);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR command_line, int) {
  ReadCommandLine(command_line);
  if (!GetVariable("Calls") || !GetVariable("Answers")) return 2;
  CreateTempFolder();
  std::string calls = std::string(GetVariable("Calls")) + ",";
  for (size_t start = 0, end; (end = calls.find(',', start)) != std::string::npos;
       start = end + 1) {
    const std::string call = calls.substr(start, end - start);
    if (call == "retry") {
      Answer(call, AskRetry("Retry caption", "Retry %s", "text"));
    } else if (call == "yesno") {
      Answer(call, AskYesNo("Question caption", "Question %d", 2));
    } else if (call == "info") {
      Answer(call, ShowInfo("Info caption", "Info text"));
    } else if (call == "error") {
      ShowError("Error caption", "Error text");
      Answer(call, 1);
    } else if (call == "notice") {
      ShowNotice("Notice %s", "text");
      Answer(call, 1);
    } else if (call == "long") {
      ShowNotice("%s", std::string(5000, 'x').c_str());
      Answer(call, 1);
    } else if (call == "fatal") {
      Fatal("Fatal %s", "text");
    } else {
      return 2;
    }
  }
  DeleteTemporaryFiles();
  return 0;
}
