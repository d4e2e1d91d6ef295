#include "tests/fuzz/fuzz_messages.h"

#include "common/messages.h"

bool AskRetry(const char*, const char*, ...) { return false; }
bool AskYesNo(const char*, const char*, ...) { return false; }
int ShowInfo(const char*, const char*, ...) { return 0; }
void ShowError(const char*, const char*, ...) {}
void ShowNotice(const char*, ...) {}
void Fatal(const char*, ...) { throw FuzzFatal{}; }
void FatalText(const char*) { throw FuzzFatal{}; }
void FatalCode(int) { throw FuzzFatal{}; }
