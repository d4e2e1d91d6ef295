// The welcome page joins here. Until then it passes itself over, as
// every page does in a headless run.
#include "wininst/pages/pages.h"

LRESULT WelcomePage(HWND, UINT message, WPARAM, LPARAM) {
  if (message == kPageEnter) return kPageSkip;
  if (message == kPageLeave) return 0;
  return kPageNotHandled;
}
