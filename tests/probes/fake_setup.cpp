// fake_setup.exe: stands in for a product's own installer.
//
//   fake_setup.exe MARKER CODE [SLEEP_MS]
//
// sleeps SLEEP_MS, writes the arguments after MARKER to the file MARKER and
// exits with CODE.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  if (argc > 3) Sleep(static_cast<DWORD>(atoi(argv[3])));
  FILE* marker = fopen(argv[1], "w");
  if (!marker) return 2;
  for (int i = 2; i < argc; i++) fprintf(marker, "%s\n", argv[i]);
  fclose(marker);
  return atoi(argv[2]);
}
