// fake_setup.exe: stands in for a product's own installer, and for a program
// that the installer opens or runs.
//
//   fake_setup.exe MARKER CODE [SLEEP_MS]
//
// sleeps SLEEP_MS, writes the arguments after MARKER to the file MARKER and
// exits with CODE. Run without arguments (as a program started from the
// completion page is), it sleeps half a second, so that only a run that
// waits for it finds the marker at once, and then writes its own path plus
// ".ran".
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc == 1) {
    Sleep(500);
    char marker[MAX_PATH + 8];
    DWORD n = GetModuleFileNameA(nullptr, marker, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 2;
    strcat(marker, ".ran");
    FILE* f = fopen(marker, "w");
    if (!f) return 2;
    fclose(f);
    return 0;
  }
  if (argc < 3) return 2;
  if (argc > 3) Sleep(static_cast<DWORD>(atoi(argv[3])));
  FILE* marker = fopen(argv[1], "w");
  if (!marker) return 2;
  for (int i = 2; i < argc; i++) fprintf(marker, "%s\n", argv[i]);
  fclose(marker);
  return atoi(argv[2]);
}
