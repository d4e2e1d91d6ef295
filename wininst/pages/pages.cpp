#include "wininst/pages/pages.h"

#include <iterator>

void InstallWizardPages() {
  static PageDescriptor table[] = {WelcomeDescriptor(), InstDirDescriptor(), ProgressDescriptor(),
                                   CompletionDescriptor()};
  SetPageTable(table, static_cast<int>(std::size(table)));
}
