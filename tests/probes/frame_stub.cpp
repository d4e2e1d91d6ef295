// A stand-in for the installer whose pages stay on the screen, so that a test
// can drive the frame: it starts like the installer and runs the real run
// sequence (splash, archive, rights, frame, message loop), with test pages in
// the page table. Packed by mkinst like the real stub.
//
// Pages: 0 and 1 show themselves with a page text (page 0 the variable
// TestPageText when it is set), 2 passes itself over with
// the no-way-back bit (as the progress page does once its work is done), 3
// shows itself.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "wininst/core/entry.h"
#include "wininst/core/frame.h"
#include "wininst/run.h"
#include "wininst/core/variables.h"

namespace {

template <int N>
LRESULT TestPage(HWND, UINT message, WPARAM, LPARAM) {
  if (message == kPageEnter) {
    if (N == 2) return kPageSkip | kPageNoWayBack;
    // TestPageText, with "|" for each line break, stands on page 0 instead:
    // a reference rendering of a page's text for the tests.
    std::string text = N == 0 && GetVariable("TestPageText") ? GetVariable("TestPageText") : "";
    for (char& c : text) c = c == '|' ? '\n' : c;
    if (text.empty()) {
      char buf[200];
      snprintf(buf, sizeof buf,
               "Test page %d of the frame. Its text is long enough to be wrapped at a word "
               "boundary inside the page text rectangle of the frame window.",
               N);
      text = buf;
    }
    SetPageText(text.c_str());
    return kPageShown;
  }
  if (message == kPageLeave) return 0;
  return kPageNotHandled;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR command_line, int) {
  ExcludedComponents();
  ReadCommandLine(command_line);
  srand(static_cast<unsigned>(time(nullptr)));

  static PageDescriptor pages[] = {{1, "Welcome", "Preparing to install", TestPage<0>, true},
                                   {1, "Installdir", "Choose installation folder", TestPage<1>, false},
                                   {1, "Copyfiles", "Installing new files", TestPage<2>, false},
                                   {1, "Complete", "Installation complete", TestPage<3>, false}};
  SetPageTable(pages, 4);
  return RunInstaller();
}
