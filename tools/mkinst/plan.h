// Reading a product's manifest: the installer's own line rules, the files
// behind its lines, and the archive manifest with every size filled in.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace mkinst {

// One archive record after the manifest record, in archive order.
struct Record {
  std::filesystem::path source;  // empty: packed as an empty record (unchecked builds)
  int line = 0;                  // the manifest line that asks for it
  uint64_t size = 0;             // bytes to pack
};

struct Plan {
  std::string manifest;  // the manifest text to pack, without its signature line
  std::vector<Record> records;
};

// Mistakes reported compiler-style: "MANIFEST:LINE: message", and what the
// installer would take but likely not as meant: "MANIFEST:LINE: warning: ...".
class Diagnostics {
 public:
  explicit Diagnostics(std::string manifest_name) : name_(std::move(manifest_name)) {}
  void Add(int line, const std::string& message);
  void Warn(int line, const std::string& message);
  // Each in line order, whichever check found them.
  const std::vector<std::string>& messages() const { return messages_; }
  const std::vector<std::string>& warnings() const { return warnings_; }
  bool empty() const { return messages_.empty(); }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::vector<std::string> messages_;
  std::vector<int> message_lines_;
  std::vector<std::string> warnings_;
  std::vector<int> warning_lines_;
};

// Checks `text` (the manifest as its engineer wrote it) against the files
// under `source_dir` and fills `plan`. False when there was any mistake.
// `unchecked` (tests only) packs the text as written, records for whatever
// files can be read, and reports nothing.
bool PlanArchive(const std::string& text, const std::filesystem::path& source_dir, bool unchecked,
                 Plan& plan, Diagnostics& diagnostics);

// Why Windows can't take `part` as one file or folder name as it stands (the
// rule of windows_name_problem, said for a product's engineer); empty when it
// can.
std::string NameFault(const std::string& part);

// The largest manifest the builder packs and reads back: the installer holds
// its manifest in memory whole, and a manifest of 20,000 files is about 1 MB.
inline constexpr uint64_t kMaxManifest = 64u << 20;

// The longest folder or file path below the installation folder: with any
// installation folder of a sensible length, every installed path stays
// within the 259 characters Windows allows.
inline constexpr size_t kRelativePathLimit = 200;

// The largest record the archive's u32 framing can hold.
inline constexpr uint64_t kMaxRecord = UINT32_MAX;

}  // namespace mkinst
