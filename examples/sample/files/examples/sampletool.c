/* The sample product's program: it says hello and where it runs from.
   Built with: i686-w64-mingw32-gcc -Os -s -mwindows -o sampletool.exe sampletool.c */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
  char path[MAX_PATH], text[MAX_PATH + 64];
  GetModuleFileNameA(NULL, path, sizeof path);
  wsprintfA(text, "Hello from Sample Studio.\n\nRunning from %s", path);
  MessageBoxA(NULL, text, "Sample Studio", MB_OK | MB_ICONINFORMATION);
  return 0;
}
