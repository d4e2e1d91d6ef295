// Keeps the prefix's desktop open while the benchmark runs:
//
//   desktop_hold.exe    joins the desktop, then waits until its standard
//                       input ends (the caller closes the pipe, or dies)
//
// Wine closes its desktop process about a second after the last program
// that used the desktop has ended, and starts it again for the next one:
// a window program run after a pause pays ~0.15 s for that start, one run
// right after another does not. Held open, every run finds the desktop
// there, as it always is on Windows.
#include <windows.h>

int main() {
  if (!GetDesktopWindow()) return 2;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  char buffer[64];
  DWORD n;
  while (ReadFile(in, buffer, sizeof buffer, &n, nullptr) && n > 0) {
  }
  return 0;
}
