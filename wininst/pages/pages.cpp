#include "wininst/pages/pages.h"

#include "wininst/core/frame.h"

void InstallWizardPages() {
  PageDescriptor* table = PageTable();
  table[0].procedure = WelcomePage;
  table[1].procedure = InstDirPage;
  table[2].procedure = ProgressPage;
  table[3].procedure = CompletionPage;
}
