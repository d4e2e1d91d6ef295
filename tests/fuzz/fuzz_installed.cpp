// Fuzz target: the installed manifest, as a maintenance run reads it: the
// text as far as its first NUL byte, the signature line, then every line
// with "%InstDir%" expanded to the installation folder and walked with the
// shared rules; the paths it lists are collapsed again as the next installed
// manifest writes them. A format error is the reader's normal answer; only
// crashes, overflows, leaks and hangs are findings.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/handle.h"
#include "tests/fuzz/fuzz_messages.h"
#include "wininst/core/variables.h"
#include "wininst/install/manifest.h"

namespace {

// The signature line of the seeds in seeds/installed.
constexpr const char* kSignature = "0123456789ABCDEF0123456789ABCDEF";

class Consumer : public manifest::Sink {
 public:
  void Shortcut(const std::string& name, const std::string& value) override {
    manifest::ShortcutValue s = manifest::SplitShortcutValue(value);
    Keep(s.target);
    Keep(s.arguments);
    Keep(s.icon);
  }
  void FolderPath(const std::string& path) override { Collapse(path); }
  void FilePath(const std::string& path) override { Collapse(path); }
  void Error(const std::string& message) override { Keep(message); }

 private:
  void Collapse(const std::string& path) {
    TextHandle collapsed(CollapseInstDir(path.c_str()));
    if (strlen(collapsed.get()) > static_cast<size_t>(kMaxExpanded)) abort();
    Keep(collapsed.get());
  }
  void Keep(const std::string& s) { sink_ += s.size(); }
  size_t sink_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool once = (SetVariable("InstDir", "C:\\Program Files\\MERIDOX Fuzz"), true);
  (void)once;
  // The installer reads the file into a NUL-ended buffer.
  std::string text(reinterpret_cast<const char*>(data), size);
  text.resize(strlen(text.c_str()));
  manifest::TextLines lines(text);
  std::string first;
  if (!lines.NextRaw(first) || first != kSignature) return 0;
  Consumer sink;
  try {
    WalkManifest(lines, sink);
  } catch (const FuzzFatal&) {
  }
  return 0;
}
