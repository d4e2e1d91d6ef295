#include "tools/mkinst/cli.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>

#ifdef _WIN32
#include <windows.h>

#include <io.h>
#else
#include <unistd.h>
#endif

#include "tools/mkinst/inspect.h"
#include "tools/mkinst/pack.h"
#include "tools/mkinst/plan.h"
#include "tools/mkinst/scan.h"

namespace fs = std::filesystem;

namespace mkinst {

namespace {

constexpr const char* kUsage =
    "Usage: mkinst [options] MANIFEST SOURCE-FOLDER\n"
    "       mkinst --list INSTALLER\n"
    "       mkinst --extract INSTALLER FOLDER\n"
    "       mkinst --verify INSTALLER\n"
    "       mkinst --scan FOLDER\n"
    "\n"
    "Packs a product into an installer: the installer program (the stub), the\n"
    "manifest with every size filled in, and the files it names, taken from\n"
    "SOURCE-FOLDER ([Resources] files by name, feature files under their\n"
    "folder, e.g. bin/tool.exe for the folder line bin/ and the line tool.exe).\n"
    "Every mistake is reported, as MANIFEST:LINE: message with what to write\n"
    "instead, and nothing is written.\n"
    "Lines the installer would take but likely not as meant are reported as\n"
    "MANIFEST:LINE: warning: message; the installer is still written.\n"
    "\n"
    "A finished installer is read back with:\n"
    "      --list          its product, stub, filecheck, resources, and features\n"
    "                      with their folders, files and sizes\n"
    "      --extract       its resources and feature files into FOLDER (new or\n"
    "                      empty), the manifest text as FOLDER/manifest: packing\n"
    "                      FOLDER/manifest and FOLDER gives the product again\n"
    "      --verify        the filecheck, the signature, and every record whole\n"
    "                      and of its manifest size; exit code 0 or 1\n"
    "Each checks every length in the file before it uses it.\n"
    "\n"
    "      --scan          the folder and file lines of every file below FOLDER,\n"
    "                      sorted, ready to paste under a feature; a file the\n"
    "                      manifest cannot list is named on stderr (exit code 1)\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE   the installer to write (default: setup.exe)\n"
    "      --stub FILE     the installer program (default: wininst.exe beside\n"
    "                      mkinst, else ../win/wininst.exe from there)\n"
    "      --sign-stub COMMAND\n"
    "                      sign the installer program before packing: COMMAND\n"
    "                      runs through the shell on a copy of it, %1 standing\n"
    "                      for the copy's path, and signs that copy in place;\n"
    "                      the installed resources\\setup.exe keeps the signature\n"
    "      --device-helper FILE\n"
    "                      the 64-bit device helper that installers with a\n"
    "                      driver carry (default: devupdate64.exe beside the stub)\n"
    "  -l, --level N       compression level 0-9 (default: 9)\n"
    "  -j, --threads N     compress on N threads (default: one per core); the\n"
    "                      installer is the same byte for byte for any N\n"
    "      --referral N    add the referral tag N (0-65535) as the last 4 bytes\n"
    "      --werror        treat warnings as mistakes: no installer is written\n"
    "  -q, --quiet         no progress bar\n"
    "  -h, --help          this text\n"
    "\n"
    "For tests only:\n"
    "      --unchecked     pack the manifest as written, without any check\n"
    "      --signature T   use T as the manifest's signature line\n";

enum class Mode { kBuild, kList, kExtract, kVerify, kScan };

struct Options {
  Mode mode = Mode::kBuild;
  fs::path manifest;
  fs::path source;
  fs::path output = "setup.exe";
  std::optional<fs::path> stub;
  std::optional<std::string> sign_stub;
  std::optional<fs::path> device_helper;
  int level = 9;
  unsigned threads = 0;
  std::optional<uint16_t> referral;
  std::optional<std::string> signature;
  bool unchecked = false;
  bool quiet = false;
  bool werror = false;
  fs::path installer;
  fs::path folder;
};

int Usage(const std::string& message) {
  fprintf(stderr, "mkinst: %s\nTry 'mkinst --help'.\n", message.c_str());
  return 1;
}

bool ParseNumber(const char* text, long low, long high, long& value) {
  char* end;
  errno = 0;
  value = strtol(text, &end, 10);
  return *text && !*end && errno == 0 && value >= low && value <= high;
}

// 0: go on; 1: a mistake; 2: --help was shown.
int ParseOptions(int argc, char** argv, Options& o) {
  std::vector<std::string> positional;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        Usage(std::string("option ") + name + " needs a value");
        return nullptr;
      }
      return argv[++i];
    };
    const char* v;
    long n;
    if (a == "-h" || a == "--help") {
      fputs(kUsage, stdout);
      return 2;
    } else if (a == "-o" || a == "--output") {
      if (!(v = value("-o"))) return 1;
      o.output = v;
    } else if (a == "--stub") {
      if (!(v = value("--stub"))) return 1;
      o.stub = fs::path(v);
    } else if (a == "--sign-stub") {
      if (!(v = value("--sign-stub"))) return 1;
      if (!*v) return Usage("--sign-stub needs a command");
      o.sign_stub = std::string(v);
    } else if (a == "--device-helper") {
      if (!(v = value("--device-helper"))) return 1;
      o.device_helper = fs::path(v);
    } else if (a == "-l" || a == "--level") {
      if (!(v = value("-l"))) return 1;
      if (!ParseNumber(v, 0, 9, n)) return Usage(std::string("bad compression level: ") + v);
      o.level = static_cast<int>(n);
    } else if (a == "-j" || a == "--threads") {
      if (!(v = value("-j"))) return 1;
      if (!ParseNumber(v, 1, 1024, n)) return Usage(std::string("bad number of threads: ") + v);
      o.threads = static_cast<unsigned>(n);
    } else if (a == "--referral") {
      if (!(v = value("--referral"))) return 1;
      if (!ParseNumber(v, 0, 65535, n)) return Usage(std::string("bad referral number: ") + v);
      o.referral = static_cast<uint16_t>(n);
    } else if (a == "--signature") {
      if (!(v = value("--signature"))) return 1;
      o.signature = std::string(v);
    } else if (a == "--list" || a == "--extract" || a == "--verify" || a == "--scan") {
      if (o.mode != Mode::kBuild) {
        return Usage("give one of --list, --extract, --verify and --scan");
      }
      o.mode = a == "--list"      ? Mode::kList
               : a == "--extract" ? Mode::kExtract
               : a == "--verify"  ? Mode::kVerify
                                  : Mode::kScan;
    } else if (a == "--werror") {
      o.werror = true;
    } else if (a == "--unchecked") {
      o.unchecked = true;
    } else if (a == "-q" || a == "--quiet") {
      o.quiet = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage("unknown option " + a);
    } else {
      positional.push_back(a);
    }
  }
  switch (o.mode) {
    case Mode::kBuild:
      if (positional.size() != 2) return Usage("give a manifest and a source folder");
      o.manifest = positional[0];
      o.source = positional[1];
      break;
    case Mode::kExtract:
      if (positional.size() != 2) return Usage("give an installer and a folder to extract into");
      o.installer = positional[0];
      o.folder = positional[1];
      break;
    case Mode::kScan:
      if (positional.size() != 1) return Usage("give one folder to scan");
      o.folder = positional[0];
      break;
    default:
      if (positional.size() != 1) return Usage("give one installer");
      o.installer = positional[0];
  }
  return 0;
}

fs::path ProgramFolder() {
#ifdef _WIN32
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  return n > 0 && n < sizeof path ? fs::path(path).parent_path() : fs::path(".");
#else
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path(".") : self.parent_path();
#endif
}

fs::path DefaultStub() {
  const fs::path here = ProgramFolder();
  fs::path beside = here / "wininst.exe";
  std::error_code ec;
  if (fs::exists(beside, ec)) return beside;
  return here / ".." / "win" / "wininst.exe";
}

bool StderrIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr));
#else
  return isatty(STDERR_FILENO);
#endif
}

// A bar on stderr, only for a terminal and only once the build takes a while.
class ProgressBar {
 public:
  explicit ProgressBar(bool enabled) : enabled_(enabled), start_(Clock::now()) {}
  ~ProgressBar() {
    if (shown_) fputs("\n", stderr);
  }
  void Update(uint64_t done, uint64_t total) {
    if (!enabled_ || total == 0) return;
    const auto now = Clock::now();
    if (now - start_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(100)) {
      if (done < total || !shown_) return;
    }
    last_ = now;
    shown_ = true;
    const int width = 40;
    const int filled = static_cast<int>(done * width / total);
    fprintf(stderr, "\rmkinst: [%s%s] %3d%% %.1f/%.1f MB", std::string(filled, '#').c_str(),
            std::string(width - filled, '.').c_str(), static_cast<int>(done * 100 / total),
            done / 1e6, total / 1e6);
    fflush(stderr);
  }

 private:
  using Clock = std::chrono::steady_clock;
  bool enabled_;
  bool shown_ = false;
  Clock::time_point start_;
  Clock::time_point last_;
};

void Report(const std::vector<std::string>& lines) {
  for (const std::string& l : lines) fprintf(stderr, "%s\n", l.c_str());
}

// The mistakes that stop the build: with --werror, the warnings too.
size_t Mistakes(const Diagnostics& diag, bool werror) {
  return diag.messages().size() + (werror ? diag.warnings().size() : 0);
}

}  // namespace

int RunMkinst(int argc, char** argv) {
  Options o;
  if (int r = ParseOptions(argc, argv, o)) return r == 2 ? 0 : 1;
  if (o.mode == Mode::kList) return ListInstaller(o.installer);
  if (o.mode == Mode::kExtract) return ExtractInstaller(o.installer, o.folder);
  if (o.mode == Mode::kVerify) return VerifyInstaller(o.installer);
  if (o.mode == Mode::kScan) return ScanFolder(o.folder);

  std::ifstream in(o.manifest, std::ios::binary);
  if (!in) return Usage("can't read the manifest " + o.manifest.string());
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::error_code ec;
  if (!fs::is_directory(o.source, ec)) return Usage("no such folder: " + o.source.string());

  Stub stub;
  std::string stub_error;
  const fs::path stub_path = o.stub ? *o.stub : DefaultStub();
  std::vector<uint8_t> stub_bytes;
  if (o.sign_stub ? !SignStub(*o.sign_stub, stub_path, stub_bytes, stub_error)
                  : !ReadWhole(stub_path, stub_bytes, stub_error)) {
    fprintf(stderr, "mkinst: stub %s: %s\n", stub_path.string().c_str(), stub_error.c_str());
    return 1;
  }
  if (!PrepareStub(std::move(stub_bytes), stub, stub_error)) {
    fprintf(stderr, "mkinst: stub %s: %s\n", stub_path.string().c_str(), stub_error.c_str());
    return 1;
  }

  Diagnostics diag(o.manifest.string());
  Plan plan;
  // Whether it planned is whether `diag` holds no mistake; with --werror, no warning either.
  PlanArchive(text, o.source, o.unchecked, plan, diag);
  Report(diag.warnings());
  if (const size_t n = Mistakes(diag, o.werror)) {
    Report(diag.messages());
    fprintf(stderr, "mkinst: %zu mistake%s%s; no installer written\n", n, n == 1 ? "" : "s",
            o.werror && !diag.warnings().empty() ? " (warnings count with --werror)" : "");
    return 1;
  }

  // Under a 64-bit system only a 64-bit program may update devices.
  if (HasDriver(plan)) {
    const fs::path helper_path =
        o.device_helper ? *o.device_helper : stub_path.parent_path() / "devupdate64.exe";
    std::vector<uint8_t> helper;
    if (!ReadWhole(helper_path, helper, stub_error) ||
        !AttachDeviceHelper(stub, std::move(helper), stub_error)) {
      fprintf(stderr, "mkinst: device helper %s: %s\nmkinst: no installer written\n",
              helper_path.string().c_str(), stub_error.c_str());
      return 1;
    }
  }

  PackOptions pack;
  pack.level = o.level;
  pack.threads = o.threads;
  pack.referral = o.referral;
  pack.signature = o.signature;
  ProgressBar bar(!o.quiet && StderrIsTerminal());
  pack.progress = [&bar](uint64_t done, uint64_t total) { bar.Update(done, total); };
  std::vector<std::string> errors;
  const bool ok = WriteInstaller(stub, plan, pack, o.output, diag, errors);
  if (!ok) {
    Report(diag.messages());
    for (const std::string& e : errors) fprintf(stderr, "mkinst: %s\n", e.c_str());
    fprintf(stderr, "mkinst: no installer written\n");
    return 1;
  }
  return 0;
}

}  // namespace mkinst
