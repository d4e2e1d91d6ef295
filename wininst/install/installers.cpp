#include "wininst/install/installers.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "common/alloc.h"
#include "common/download.h"
#include "common/handle.h"
#include "common/osdep.h"
#include "common/sha256.h"
#include "wininst/core/messages.h"
#include "wininst/core/paths.h"
#include "common/vector.h"
#include "common/messages.h"
#include "wininst/core/progress.h"
#include "wininst/core/runlog.h"
#include "wininst/core/tempfiles.h"
#include "wininst/core/variables.h"
#include "wininst/install/archive.h"
#include "wininst/install/features.h"
#include "wininst/install/manifest.h"

namespace {

using Process = Handle<HANDLE, CloseHandle>;

constexpr int kLastCreepLevel = 98;  // the bar waits there until the program ends
constexpr DWORD kWaitMs = 2000;
constexpr time_t kRateSeconds = 3;  // the shortest span a rate is measured over

// The rate line of the running download: the file it names and the
// measuring window (start second, 0 = not started, and the bytes at its start).
struct RateWindow {
  std::string file;
  time_t start = 0;
  uint32_t bytes = 0;
};
RateWindow rate;

// The installer variable's path is deleted with the run's temporary files
// only when it lies in the temporary folder (a resource extracted from the
// archive): a path given on the command line or by the manifest may name
// the user's own copy of an installer.
bool InTempFolder(const std::string& path) {
  const char* tmp = GetVariable("TmpDir");
  return tmp && PathBelow(path, tmp);
}

// A new folder in the temporary folder for one download (recorded for
// deletion): two downloads of one name each get their own file, and a
// download is always a new file.
std::string DownloadFolder() {
  static int downloads;
  for (;;) {
    std::string folder = std::string(VariableOr("TmpDir")) + "\\d" + Decimal(++downloads);
    if (CreateDirectoryA(folder.c_str(), nullptr)) {
      RecordTempFile(folder.c_str());
      return folder;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return {};
  }
}

// Downloads an installer into the temporary folder while the busy box and
// the rate line show it; the saved path (recorded for deletion), or null.
char* Download(const char* url, const char* description, bool pinned) {
  const std::string folder = DownloadFolder();
  if (folder.empty()) {
    ShowNotice("Failed to create folder %s\\d", VariableOr("TmpDir"));
    return nullptr;
  }
  ReportProgress(-1, nullptr);
  TextHandle busy(xsprintf("Downloading %s from the website, please wait...", description));
  ShowBusy(busy.get());
  ReportProgress(0, "");
  rate.start = 0;
  rate.bytes = 0;
  char* saved;
  {
    // A Cancel stops the transfer at its next block; its file goes.
    WorkWait wait(WorkWait::kTransfer);
    saved = url_download(
        url, folder.c_str(), DownloadProgress,
        [] {
          NestedPump().Pump();
          return CancelPending();
        },
        pinned);
  }
  HideBusy();
  if (CancelPending()) AbortRun();
  if (!saved) return nullptr;
  RecordTempFile(saved);
  ReportProgress(-1, nullptr);
  rate.file.clear();
  return saved;
}

// The file an installer resolved to, held open from its check to the end of
// its run: nobody can change, replace or delete it in between. Checked
// against the installer's Digest= when it has one.
class CheckedFile {
 public:
  CheckedFile() = default;
  ~CheckedFile() {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }
  CheckedFile(const CheckedFile&) = delete;
  CheckedFile& operator=(const CheckedFile&) = delete;

  // Opens the file at `path` and reads its size and SHA-256 digest; false
  // when it cannot be read.
  bool Read(const std::string& path) {
    file_ = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file_ == INVALID_HANDLE_VALUE) return false;
    Sha256 sha;
    static RunBuffer<uint8_t, 64 * 1024> buffer;
    DWORD got;
    while (ReadFile(file_, buffer.get(), buffer.size(), &got, nullptr) && got > 0) {
      sha.Update(buffer.get(), got);
      size_ += got;
    }
    digest_ = sha.HexFinal();
    return !digest_.empty();
  }
  // True when the file read has the SHA-256 `digest` (hexadecimal).
  bool Matches(const std::string& digest) const {
    return !digest_.empty() && _stricmp(digest_.c_str(), digest.c_str()) == 0;
  }
  const std::string& digest() const { return digest_; }
  uint64_t size() const { return size_; }

 private:
  HANDLE file_ = INVALID_HANDLE_VALUE;
  std::string digest_;
  uint64_t size_ = 0;
};

}  // namespace

bool RunAndWait(const char* program, const char* arguments) {
  // What the work reported so far is on the screen while the program runs.
  FlushProgress();
  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpVerb = "open";
  info.lpFile = program;
  info.lpParameters = arguments;
  // It starts in the run's private folder (without one, in the run's own
  // current folder, the system folder): a library or a program it looks for
  // by name in its current folder is never one that a user put beside the
  // installer.
  info.lpDirectory = GetVariable("TmpDir");
  info.nShow = SW_SHOW;
  if (!ShellExecuteExA(&info)) {
    LogLine("Can't start \"%s\" %s: error %lu", program, arguments, GetLastError());
    return false;
  }
  LogLine("Started \"%s\" %s", program, arguments);
  Process process(info.hProcess);
  unsigned long code;
  if (!AwaitProgram(process.get(), code, true)) return false;
  LogLine("\"%s\" ended with exit code %lu", program, code);
  return code == 0;
}

bool AwaitProgram(void* program, unsigned long& code, bool creep_bar) {
  int level = 1;
  time_t last_step = time(nullptr);
  auto creep = [&] {
    if (!creep_bar) return;
    const time_t now = time(nullptr);
    if (now - last_step <= 1) return;
    ReportProgress(level, nullptr);
    last_step = now;
    level = std::min(level + 1, kLastCreepLevel);
  };
  // The quit message is kept until the program has ended: put back at once,
  // it would wake every wait of the loop. A Cancel meanwhile waits for the
  // program too: nothing is taken back under a program still at work.
  {
    WorkWait wait(WorkWait::kProgram);
    NestedPump pump;
    HANDLE handle = program;
    for (;;) {
      creep();
      pump.Pump();
      const DWORD woken = MsgWaitForMultipleObjects(1, &handle, FALSE, kWaitMs, QS_ALLINPUT);
      if (woken != WAIT_OBJECT_0 + 1 && woken != WAIT_TIMEOUT) break;
    }
  }
  if (CancelPending()) AbortRun();
  if (creep_bar) ReportProgress(100, nullptr);
  DWORD exit_code;
  if (!GetExitCodeProcess(program, &exit_code)) return false;
  code = exit_code;
  return true;
}

void DownloadProgress(uint32_t received, uint32_t total) {
  const int percent = static_cast<int>(static_cast<double>(received) / total * 100);
  const time_t now = time(nullptr);
  if (rate.start == 0) rate.start = now;
  char line[201];
  bool have_line = false;
  if (now - rate.start >= kRateSeconds) {
    const uint32_t per_second = (received - rate.bytes) / static_cast<uint32_t>(now - rate.start);
    const char* file = rate.file.c_str();
    if (per_second < 1024) {
      snprintf(line, sizeof line, "\r%s %u bytes/second (%d%% complete)", file, per_second,
               percent);
    } else if (per_second > 1048575) {
      snprintf(line, sizeof line, "\r%s %s megabytes/second (%d%% complete)", file,
               FixedPoint(per_second, 20, 2).c_str(), percent);
    } else {
      snprintf(line, sizeof line, "\r%s %s kilobytes/second (%d%% complete)", file,
               FixedPoint(per_second, 10, 2).c_str(), percent);
    }
    have_line = true;
    rate.start = now;
    rate.bytes = received;
  }
  ReportProgress(percent, have_line ? line : nullptr);
  NestedPump().Pump();
}

void RunFeatureInstallers(Feature* f) {
  Progress().Restart();
  if (!f->selected || f->present) return;
  const char* description = f->description.c_str();
  // An installer succeeded, or the user goes on without one.
  bool done = false;
  for (uint32_t i = 0; i < vec_count(f->installers) && !done; i++) {
    const Installer* installer = vec_at<Installer>(f->installers, i);
    const char* source = ResolveInstallerSource(installer);
    if (!source) {
      if (!AskYesNo("Installer not found",
                    "No installer for %s was found\n%s\nDo you want to continue anyway?",
                    description, f->error_text.c_str())) {
        Fatal("Installation terminated - please install %s\nthen retry this installation",
              description);
      }
      done = true;
      break;
    }
    // A file on the medium, or a variable's, named relative to the program's folder.
    std::string path = FromProgramFolder(source);
    if (const char* value = GetVariable(source)) {
      path = FromProgramFolder(value);
      if (InTempFolder(path)) RecordTempFile(path.c_str());
    }
    rate.file = path_tail(source);
    const bool download = IsDownload(source);
    const bool check = !installer->digest.empty();
    if (download) {
      TextHandle saved(Download(source, description, check));
      if (!saved) continue;
      path = saved.get();
    }
    // What arrived, or lies on the medium, runs only as the manifest knows it.
    CheckedFile checked;
    if (check || (download && RunLogged())) checked.Read(path);
    if (download) {
      LogLine("Downloaded %s: %llu bytes, SHA-256 %s", source, static_cast<unsigned long long>(checked.size()),
              checked.digest().c_str());
    }
    if (check && !checked.Matches(installer->digest)) {
      LogLine("Digest mismatch: %s: SHA-256 expected %s, found %s", path.c_str(),
              installer->digest.c_str(),
              checked.digest().empty() ? "none" : checked.digest().c_str());
      if (download) DeleteFileA(path.c_str());
      ShowNotice("Digest mismatch: %s", path_tail(path.c_str()));
      continue;
    }
    ShowBusy("Installing components - Please wait, this may take several minutes");
    TextHandle arguments(ExpandVariables(installer->arguments.c_str()));
    done = RunAndWait(path.c_str(), arguments.get());
    HideBusy();
  }
  if (done) {
    // The product may be detected now.
    EvaluateFeature(f);
    return;
  }
  if (!AskYesNo("Install failed",
                "The installation of %s was not successful\n%s\nDo you want to continue anyway?",
                description, f->error_text.c_str())) {
    Fatal("Installation terminated - suggest you install %s\nthen retry this installation",
          description);
  }
}
