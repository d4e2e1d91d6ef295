#include "wininst/install/output.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/alloc.h"
#include "common/messages.h"
#include "common/osdep.h"

namespace {

constexpr uint32_t kOutputBuffer = 256 * 1024;
HANDLE output = INVALID_HANDLE_VALUE;
uint32_t used;

// Made on first use: a static array would sit in the stub's data section.
uint8_t* Buffer() {
  static uint8_t* buffer = static_cast<uint8_t*>(xmalloc(kOutputBuffer));
  return buffer;
}

bool Flush() {
  DWORD written = 0;
  const bool ok =
      used == 0 || (WriteFile(output, Buffer(), used, &written, nullptr) && written == used);
  used = 0;
  return ok;
}

}  // namespace

OutputOpened OpenOutput(const char* path) {
  AbandonOutput();
  output = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output != INVALID_HANDLE_VALUE) return OutputOpened::kCreated;
  errno = errno_of(GetLastError());
  return OutputOpened::kFailed;
}

bool WriteOutput(const void* bytes, uint32_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  while (length > 0) {
    if (used == kOutputBuffer && !Flush()) return false;
    const uint32_t n = std::min(length, kOutputBuffer - used);
    memcpy(Buffer() + used, p, n);
    used += n;
    p += n;
    length -= n;
  }
  return true;
}

uint8_t* OutputRoom(uint32_t least, uint32_t remaining, uint32_t& room) {
  if (kOutputBuffer - used < least && !Flush()) return nullptr;
  room = std::min(kOutputBuffer - used, remaining);
  return Buffer() + used;
}

void CommitOutput(uint32_t length) {
  used += length;
}

bool CloseOutput() {
  const bool written = Flush();
  const bool closed = CloseHandle(output);
  output = INVALID_HANDLE_VALUE;
  return written && closed;
}

void AbandonOutput() {
  if (output == INVALID_HANDLE_VALUE) return;
  CloseHandle(output);
  output = INVALID_HANDLE_VALUE;
  used = 0;
}
