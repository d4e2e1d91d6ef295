// Fuzz target: the manifest line rules over whole manifests. A format error
// is the walker's normal answer to bad text; only crashes, overflows and
// hangs are findings.
#include <cstddef>
#include <cstdint>
#include <string>

#include "wininst/install/manifest_rules.h"

namespace {

class Consumer : public manifest::Sink {
 public:
  void Shortcut(const std::string& name, const std::string& value) override {
    manifest::ShortcutValue s = manifest::SplitShortcutValue(value);
    sink_ += s.target.size() + s.arguments.size() + s.icon.size();
  }
  void Error(const std::string& message) override { sink_ += message.size(); }

 private:
  size_t sink_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  manifest::TextLines lines(std::string(reinterpret_cast<const char*>(data), size));
  std::string signature;
  lines.NextRaw(signature);
  Consumer sink;
  manifest::Walk(lines, sink);
  return 0;
}
