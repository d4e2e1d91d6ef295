// The Windows entry point: the start-up steps in their order.
#include <windows.h>

#include "wininst/run.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR command_line, int) {
  return RunProgram(command_line);
}
