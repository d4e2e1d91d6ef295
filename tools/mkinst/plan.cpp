#include "tools/mkinst/plan.h"

#include <algorithm>
#include <map>
#include <set>
#include <system_error>

#include "wininst/install/manifest_rules.h"

namespace fs = std::filesystem;

namespace mkinst {

void Diagnostics::Add(int line, const std::string& message) {
  messages_.push_back(name_ + ":" + std::to_string(line) + ": " + message);
}

namespace {

// A manifest path (either separator) below the source folder.
fs::path SourcePath(const fs::path& dir, std::string relative) {
  std::replace(relative.begin(), relative.end(), '\\', '/');
  return dir / fs::path(relative);
}

bool IsDecimal(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Records what the archive must carry while the shared rules walk the text.
class PlanSink : public manifest::Sink {
 public:
  PlanSink(const manifest::TextLines& lines, const fs::path& dir, bool unchecked, Diagnostics& d)
      : lines_(lines), dir_(dir), unchecked_(unchecked), diag_(d) {}

  void Resource(const manifest::ResourceLine& r) override {
    variables_[manifest::Lower(r.name)] = {r.file, Line()};  // the variable names its path
    // The installer refuses a line without a size; the builder fills it in.
    Sized(r.file, SourcePath(dir_, r.file), r.has_size, r.size_text, resources_);
  }

  void Variable(const std::string& name, const std::string& value) override {
    variables_[manifest::Lower(name)] = {value, Line()};
  }

  // A second [Features] section replaces the first one's list, and with it
  // the records that the installer will look for.
  void FeaturesStart() override {
    files_.clear();
    folder_.clear();
  }

  void Folder(const std::string& name) override { folder_ = name; }

  void File(const manifest::SizedName& f) override {
    std::string relative = folder_.empty() ? f.name : folder_ + "\\" + f.name;
    Sized(relative, SourcePath(dir_, relative), f.has_size, f.size_text, files_);
  }

  void Component(const std::string& name) override { components_.insert(manifest::Lower(name)); }

  void ComponentsStart() override {
    components_.clear();
    alternates_.clear();
  }

  void ComponentValue(manifest::ComponentKey key, const std::string& value) override {
    if (key == manifest::ComponentKey::kAlternate) alternates_.push_back({value, Line()});
  }

  void Run() override { reached_run_ = true; }

  void Error(const std::string& message) override {
    if (!unchecked_) diag_.Add(Line(), message);
  }

  // Checks that need the whole manifest; then the records in archive order.
  void Finish(Plan& plan) {
    if (!unchecked_ && reached_run_) {
      for (const auto& [name, line] : alternates_) {
        // The installer stops on it when it looks the component up.
        if (!components_.count(manifest::Lower(name)))
          diag_.Add(line, "Component " + name + " not in manifest");
      }
      CheckDocuments();
    }
    plan.records = resources_;
    plan.records.insert(plan.records.end(), files_.begin(), files_.end());
  }

  const std::map<int, uint64_t>& fills() const { return fills_; }

 private:
  int Line() const { return lines_.LineNumber(); }

  // The completion page stops a finished installation on a document that
  // ReadPDFs names ("A|B") without a variable "relative path|caption".
  void CheckDocuments() {
    auto list = variables_.find("readpdfs");
    if (list == variables_.end()) return;
    const auto& [names, line] = list->second;
    for (size_t start = 0; start < names.size();) {
      const size_t end = std::min(names.find('|', start), names.size());
      const std::string name = names.substr(start, end - start);
      start = end + 1;
      if (name.empty()) continue;
      auto v = variables_.find(manifest::Lower(name));
      if (v == variables_.end()) {
        diag_.Add(line, "Can't find variable \"" + name + "\" in manifest");
      } else if (v->second.first.find('|') == std::string::npos) {
        diag_.Add(v->second.second, "Syntax error in value of variable \"" + name + "\"");
      }
    }
  }

  void Sized(const std::string& name, const fs::path& path, bool has_size,
             const std::string& size_text, std::vector<Record>& list) {
    Record r;
    r.line = Line();
    std::error_code ec;
    const bool regular = fs::is_regular_file(path, ec);
    const uint64_t size = regular ? fs::file_size(path, ec) : 0;
    if (unchecked_) {
      // Whatever the manifest says: the file's real bytes, or an empty record.
      if (regular && !ec && size <= kMaxRecord) {
        r.source = path;
        r.size = size;
      }
      list.push_back(r);
      return;
    }
    if (!regular || ec) {
      diag_.Add(r.line, "no such file: " + path.string() + " (for " + name + ")");
      return;
    }
    if (size > kMaxRecord) {
      diag_.Add(r.line, path.string() + " is too big for an archive record (" +
                            std::to_string(size) + " bytes; at most " + std::to_string(kMaxRecord) +
                            ")");
      return;
    }
    if (has_size) {
      // The installer reads the size with strtoul; only plain digits say what they mean.
      std::string digits = manifest::Trim(size_text);
      if (!IsDecimal(digits)) {
        diag_.Add(r.line, "size \"" + size_text + "\" is not a decimal number");
        return;
      }
      if (digits.size() > 10 || std::stoull(digits) != size) {
        diag_.Add(r.line, "size " + digits + " differs from the size of " + path.string() + " (" +
                              std::to_string(size) + " bytes)");
        return;
      }
    } else {
      fills_[r.line] = size;
    }
    r.source = path;
    r.size = size;
    list.push_back(r);
  }

  const manifest::TextLines& lines_;
  fs::path dir_;
  bool unchecked_;
  Diagnostics& diag_;
  std::string folder_;
  std::vector<Record> resources_;
  std::vector<Record> files_;
  std::set<std::string> components_;
  std::vector<std::pair<std::string, int>> alternates_;
  std::map<int, uint64_t> fills_;
  std::map<std::string, std::pair<std::string, int>> variables_;  // lower-case name: value, line
  bool reached_run_ = false;
};

// The number of the line holding text[pos], counted as TextLines counts.
int LineAt(const std::string& text, size_t pos) {
  int line = 1;
  for (size_t i = 0; i < pos;) {
    const size_t end = manifest::LineEndLength(text, i);
    line += end ? 1 : 0;
    i += end ? end : 1;
  }
  return line;
}

// The text with "TAB size" appended to the given lines. Lines are numbered
// as TextLines numbers them: CR LF, CR and LF each end one line.
std::string FillSizes(const std::string& text, const std::map<int, uint64_t>& fills) {
  std::string out;
  out.reserve(text.size() + fills.size() * 12);
  int number = 1;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    auto fill = fills.find(number);
    if (fill != fills.end()) {
      line.erase(line.find_last_not_of(" \t\v\f") + 1);
      line += "\t" + std::to_string(fill->second);
    }
    out += line;
    if (end == text.size()) break;
    size_t next = end + manifest::LineEndLength(text, end);
    out.append(text, end, next - end);
    pos = next;
    number++;
  }
  return out;
}

}  // namespace

bool PlanArchive(const std::string& text, const fs::path& source_dir, bool unchecked, Plan& plan,
                 Diagnostics& diagnostics) {
  plan = Plan{};
  manifest::TextLines lines(text);
  if (!unchecked) {
    size_t nul = text.find('\0');
    if (nul != std::string::npos) {
      // The installer's text ends at the first NUL byte.
      diagnostics.Add(LineAt(text, nul), "NUL byte in the manifest");
      return false;
    }
  }
  PlanSink sink(lines, source_dir, unchecked, diagnostics);
  manifest::Walk(lines, sink);
  sink.Finish(plan);
  plan.manifest = unchecked ? text : FillSizes(text, sink.fills());
  return unchecked || diagnostics.empty();
}

}  // namespace mkinst
