#include "wininst/install/output.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "common/alloc.h"
#include "common/messages.h"
#include "common/osdep.h"

namespace {

constexpr uint32_t kOutputBuffer = 256 * 1024;
// Buffers the writer thread may have in hand: how far the extraction runs
// ahead of the disk.
constexpr int kBuffers = 8;

HANDLE output = INVALID_HANDLE_VALUE;
std::string output_path;
uint32_t used;

// Made on first use: a static array would sit in the stub's data section.
uint8_t* NewBuffer() {
  return static_cast<uint8_t*>(xmalloc(kOutputBuffer));
}
uint8_t* current = nullptr;

uint8_t* Buffer() {
  if (!current) current = NewBuffer();
  return current;
}

// What the writer thread is given: a buffer's bytes for a file, and whether
// the file is complete with them.
struct Job {
  HANDLE file;
  uint8_t* buffer;
  uint32_t length;
  bool close;
  std::string path;
};

// The writer thread: writes and closes the files that the extraction has
// filled, while the extraction inflates the next ones. The extraction's
// thread keeps everything else (creating the files, the journal, every
// message); the writer only writes, closes and notes the first failure.
class Writer {
 public:
  // Starts the thread once; false when it cannot run beside the caller
  // (a single processor: nothing would overlap).
  bool Start() {
    if (thread_) return true;
    DWORD_PTR process = 0, system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return false;
    int processors = 0;
    for (DWORD_PTR m = process; m; m &= m - 1) processors++;
    if (processors < 2) return false;
    InitializeCriticalSection(&lock_);
    InitializeConditionVariable(&changed_);
    for (int i = 0; i < kBuffers; i++) free_[free_count_++] = NewBuffer();
    thread_ = CreateThread(nullptr, 64 * 1024, Main, this, 0, nullptr);
    if (!thread_) {
      DeleteCriticalSection(&lock_);
      for (int i = 0; i < free_count_; i++) free(free_[i]);
      free_count_ = 0;
      return false;
    }
    return true;
  }

  // Hands the buffer over; returns an empty buffer to fill next.
  uint8_t* Hand(Job job) {
    EnterCriticalSection(&lock_);
    jobs_[(first_ + count_++) % kQueue] = std::move(job);
    WakeAllConditionVariable(&changed_);
    while (free_count_ == 0) SleepConditionVariableCS(&changed_, &lock_, INFINITE);
    uint8_t* buffer = free_[--free_count_];
    LeaveCriticalSection(&lock_);
    return buffer;
  }

  // Waits until everything handed over is written and closed; false (the
  // path of the file in `failed`) when a write or a close failed.
  bool Settle(std::string* failed) {
    EnterCriticalSection(&lock_);
    while (count_ > 0 || busy_) SleepConditionVariableCS(&changed_, &lock_, INFINITE);
    const bool ok = failed_path_.empty();
    if (failed) *failed = failed_path_;
    LeaveCriticalSection(&lock_);
    return ok;
  }

  // Closes every file handed over without writing what waits, and forgets
  // a failure: the run is being taken back.
  void Abandon() {
    EnterCriticalSection(&lock_);
    abandoning_ = true;
    WakeAllConditionVariable(&changed_);
    while (count_ > 0 || busy_) SleepConditionVariableCS(&changed_, &lock_, INFINITE);
    abandoning_ = false;
    failed_path_.clear();
    LeaveCriticalSection(&lock_);
  }

  bool Failed() {
    EnterCriticalSection(&lock_);
    const bool failed = !failed_path_.empty();
    LeaveCriticalSection(&lock_);
    return failed;
  }

  bool Running() const { return thread_ != nullptr; }

 private:
  static constexpr int kQueue = kBuffers + 1;

  static DWORD WINAPI Main(void* self) {
    static_cast<Writer*>(self)->Loop();
    return 0;
  }

  void Loop() {
    EnterCriticalSection(&lock_);
    for (;;) {
      while (count_ == 0) SleepConditionVariableCS(&changed_, &lock_, INFINITE);
      Job job = std::move(jobs_[first_]);
      first_ = (first_ + 1) % kQueue;
      count_--;
      busy_ = true;
      const bool write = !abandoning_ && failed_path_.empty();
      LeaveCriticalSection(&lock_);

      bool ok = true;
      if (write && job.length > 0) {
        DWORD written = 0;
        ok = WriteFile(job.file, job.buffer, job.length, &written, nullptr) && written == job.length;
      }
      if (job.close) ok = CloseHandle(job.file) && ok;

      EnterCriticalSection(&lock_);
      if (write && !ok) failed_path_ = job.path;
      free_[free_count_++] = job.buffer;
      busy_ = false;
      WakeAllConditionVariable(&changed_);
    }
  }

  HANDLE thread_ = nullptr;
  CRITICAL_SECTION lock_;
  CONDITION_VARIABLE changed_;
  Job jobs_[kQueue];
  int first_ = 0;
  int count_ = 0;
  uint8_t* free_[kBuffers + 1];
  int free_count_ = 0;
  bool busy_ = false;
  bool abandoning_ = false;
  // The file of the first failed write or close since the last abandon.
  std::string failed_path_;
};

Writer writer;
// Whether closing a file hands it to the writer.
bool background;

// Writes the buffer's bytes (and closes the file with them); false on a
// write error, here or, in the background, one noticed so far.
bool Flush(bool close) {
  if (background) {
    current = writer.Hand({output, Buffer(), used, close, output_path});
    used = 0;
    return !writer.Failed();
  }
  DWORD written = 0;
  bool ok = used == 0 || (WriteFile(output, Buffer(), used, &written, nullptr) && written == used);
  used = 0;
  if (close) ok = CloseHandle(output) && ok;
  return ok;
}

}  // namespace

void WriteInBackground(bool on) {
  if (on) {
    background = writer.Start();
  } else if (background) {
    writer.Settle(nullptr);
    background = false;
  }
}

bool SettleOutput(std::string* failed) {
  return !writer.Running() || writer.Settle(failed);
}

const char* FailedOutput(const char* path) {
  static std::string failed;
  if (writer.Running() && !writer.Settle(&failed)) return failed.c_str();
  return path;
}

OutputOpened OpenOutput(const char* path) {
  // A file left open by a failure before is let go; what the writer holds
  // is its own.
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  used = 0;
  output = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output != INVALID_HANDLE_VALUE) {
    if (background) output_path = path;
    return OutputOpened::kCreated;
  }
  errno = errno_of(GetLastError());
  return OutputOpened::kFailed;
}

void AdoptOutput(void* file, const char* path) {
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  used = 0;
  output = file;
  if (background) output_path = path;
}

bool WriteOutput(const void* bytes, uint32_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  while (length > 0) {
    if (used == kOutputBuffer && !Flush(false)) return false;
    const uint32_t n = std::min(length, kOutputBuffer - used);
    memcpy(Buffer() + used, p, n);
    used += n;
    p += n;
    length -= n;
  }
  return true;
}

uint8_t* OutputRoom(uint32_t least, uint32_t remaining, uint32_t& room) {
  if (kOutputBuffer - used < least && !Flush(false)) return nullptr;
  room = std::min(kOutputBuffer - used, remaining);
  return Buffer() + used;
}

void CommitOutput(uint32_t length) {
  used += length;
}

bool CloseOutput() {
  const bool ok = Flush(true);
  output = INVALID_HANDLE_VALUE;
  return ok;
}

void AbandonOutput() {
  if (writer.Running()) writer.Abandon();
  if (output == INVALID_HANDLE_VALUE) return;
  CloseHandle(output);
  output = INVALID_HANDLE_VALUE;
  used = 0;
}
