#include "tools/mkinst/plan.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <system_error>

#include "wininst/install/manifest_rules.h"

namespace fs = std::filesystem;

namespace mkinst {

void Diagnostics::Add(int line, const std::string& message) {
  messages_.push_back(name_ + ":" + std::to_string(line) + ": " + message);
}

void Diagnostics::Warn(int line, const std::string& message) {
  const auto at = std::upper_bound(warning_lines_.begin(), warning_lines_.end(), line);
  warnings_.insert(warnings_.begin() + (at - warning_lines_.begin()),
                   name_ + ":" + std::to_string(line) + ": warning: " + message);
  warning_lines_.insert(at, line);
}

namespace {

// The longest folder or file path below the installation folder: with any
// installation folder of a sensible length, every installed path stays
// within the 259 characters Windows allows.
constexpr size_t kRelativePathLimit = 200;

std::string TooLong(const std::string& what) {
  return what + ": longer than " + std::to_string(kRelativePathLimit) +
         " characters below the installation folder; with the folder in front of it, the "
         "path would pass what Windows allows (259)";
}


// A manifest path (either separator) below the source folder.
fs::path SourcePath(const fs::path& dir, std::string relative) {
  std::replace(relative.begin(), relative.end(), '\\', '/');
  return dir / fs::path(relative);
}

bool IsDecimal(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool HasInstDir(const std::string& text) {
  return manifest::Lower(text).find("%instdir%") != std::string::npos;
}

}  // namespace

std::string NameFault(const std::string& part) {
  if (part == "..") return "\"..\" would leave the installation's folders";
  for (char c : part) {
    if (static_cast<unsigned char>(c) < 32 || strchr("<>:\"|?*", c)) {
      return c < 32 ? "a control character can't be part of a Windows file name"
                    : std::string("\"") + c + "\" can't be part of a Windows file name";
    }
  }
  // A device name stays a device with any extension: CON.txt is the console.
  static const std::set<std::string> devices = {
      "con",  "prn",  "aux",  "nul",  "com1", "com2", "com3", "com4", "com5", "com6", "com7",
      "com8", "com9", "lpt1", "lpt2", "lpt3", "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9"};
  std::string stem = manifest::Lower(part.substr(0, part.find('.')));
  stem.erase(stem.find_last_not_of(' ') + 1);
  if (devices.count(stem)) return part + " is a device on Windows, not a file";
  return "";
}

namespace {

bool IsDownload(const std::string& source) {
  return HasPrefix(source.c_str(), "http://") || HasPrefix(source.c_str(), "ftp://");
}

bool IsWord(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  });
}

// How many characters to change, add or drop to make one text the other.
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); j++) row[j] = j;
  for (size_t i = 1; i <= a.size(); i++) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); j++) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// A [Features] line that reads as a file line but was likely meant as a key:
// what to say about it; empty when it does not look like a key.
std::string KeyHint(const std::string& line) {
  const size_t eq = line.find('=');
  const std::string word = line.substr(0, eq);
  if (eq == std::string::npos || !IsWord(word)) return "";
  const std::string lower = manifest::Lower(word);
  if (lower == "alternate" || lower == "arguments") {
    return "unknown key '" + word + "=' here: Alternate= and Arguments= lines belong directly " +
           "below an Installer= line";
  }
  const std::vector<std::string> keys = manifest::FeatureKeys();
  std::string best, all;
  size_t best_distance = 3;  // more changes than this make another word
  for (const std::string& key : keys) {
    all += (all.empty() ? "" : &key == &keys.back() ? " and " : ", ") + key;
    const size_t d = EditDistance(lower, manifest::Lower(key.substr(0, key.size() - 1)));
    if (d < best_distance && 2 * d < lower.size()) {
      best = key;
      best_distance = d;
    }
  }
  if (!best.empty()) return "unknown key '" + word + "=' (did you mean '" + best + "'?)";
  return "unknown key '" + word + "=' (a feature's keys are " + all + ")";
}

// A path below the installation folder as the system finds it: either
// separator, empty and "." parts dropped, case ignored.
std::string CleanPath(const std::string& path) {
  std::string out;
  for (size_t start = 0; start <= path.size();) {
    const size_t end = std::min(path.find_first_of("\\/", start), path.size());
    const std::string part = path.substr(start, end - start);
    if (!part.empty() && part != ".") out += (out.empty() ? "" : "\\") + manifest::Lower(part);
    start = end + 1;
  }
  return out;
}

constexpr const char* kNoRun =
    "Invalid manifest format: the manifest ends without [Run], which must be its last section";
constexpr const char* kUnknownSection = "Unknown line in manifest: ";

constexpr const char* kRegistryInstDir =
    "%InstDir% can't be stored in a [Registry] line: the installer puts the installation folder "
    "in its place before it splits the line at its backslashes, and the folder's backslashes "
    "break the line (\"Bad registry entry under [Registry]\")";

// The text's lines for the shared rules, with the last one given kept.
class KeptLines : public manifest::LineSource {
 public:
  explicit KeptLines(manifest::TextLines& lines) : lines_(lines) {}
  bool Next(std::string& line) override {
    ended_ = !lines_.Next(line);
    if (ended_) return false;
    last_ = line;
    return true;
  }
  void PushBack(const std::string& line) override { lines_.PushBack(line); }
  const std::string& last() const { return last_; }
  // Whether the text ran out at the last call of Next.
  bool ended() const { return ended_; }

 private:
  manifest::TextLines& lines_;
  std::string last_;
  bool ended_ = false;
};

// Records what the archive must carry while the shared rules walk the text.
class PlanSink : public manifest::Sink {
 public:
  PlanSink(const manifest::TextLines& lines, const KeptLines& kept, const fs::path& dir,
           bool unchecked, Diagnostics& d)
      : lines_(lines), kept_(kept), dir_(dir), unchecked_(unchecked), diag_(d) {}

  void Resource(const manifest::ResourceLine& r) override {
    variables_[manifest::Lower(r.name)] = {r.file, Line()};  // the variable names its path
    // Resources are extracted into one folder and copied into another, where
    // the installer's own copy and the installed manifest lie too.
    const std::string lower = manifest::Lower(r.file);
    if (r.file == "." || r.file == ".." || r.file.find_first_of("\\/:") != std::string::npos) {
      // The installer refuses these itself: a resource keeps its own name.
      Add("Bad line in [Resources]: a resource's name is a plain file name, without a folder or a "
          "drive, and not \".\" or \"..\"");
    } else if (lower == "setup.exe" || lower == "manifest") {
      Add("resource " + r.file + ": the installer's own copy (setup.exe) and the installed " +
          "manifest (manifest) have these names in the resources folder");
    } else if (OneName("resource", r.file)) {
      Unique(resource_names_, "resource " + r.file, r.file, Kind::kFile);
    }
    HighBytes("resource " + r.file);
    // The installer refuses a line without a size; the builder fills it in.
    Sized(r.file, SourcePath(dir_, r.file), r.has_size, r.size_text, resources_);
  }

  void Variable(const std::string& name, const std::string& value) override {
    variables_[manifest::Lower(name)] = {value, Line()};
    if (manifest::Lower(name) == "version") has_version_ = !value.empty();
  }

  // A second [Features] section replaces the first one's list, and with it
  // the records that the installer will look for.
  void FeaturesStart() override {
    files_.clear();
    folder_.clear();
    installed_.clear();
    installers_.clear();
  }

  void Installer(const manifest::SizedName& source) override {
    installers_.push_back({Line(), IsDownload(source.name), false, {{source.name, Line()}}});
  }

  void InstallerAlternate(const std::string& source) override {
    installers_.back().download = installers_.back().download || IsDownload(source);
    installers_.back().sources.push_back({source, Line()});
  }

  void InstallerDigest(const std::string&) override { installers_.back().digest = true; }

  void Folder(const std::string& name) override {
    folder_ = name;
    HighBytes("folder " + name);
    if (name.size() > kRelativePathLimit) return Add(TooLong("folder " + name));
    std::string path;
    for (size_t start = 0; start <= name.size();) {
      size_t end = std::min(name.find('\\', start), name.size());
      const std::string part = name.substr(start, end - start);
      const std::string fault = HasInstDir(part) ? kInstDirInName : NameFault(part);
      if (!fault.empty()) return Add("folder " + name + ": " + fault);
      if (!part.empty()) {
        path += (path.empty() ? "" : "\\") + part;
        Unique(installed_, "folder " + path, path, Kind::kFolder);
      }
      start = end + 1;
    }
  }

  void File(const manifest::SizedName& f) override {
    std::string relative = folder_.empty() ? f.name : folder_ + "\\" + f.name;
    const fs::path source = SourcePath(dir_, relative);
    std::error_code ec;
    // A misspelt key reads as a file line; when no such file is there, it was meant as a key.
    const std::string hint = unchecked_ ? "" : KeyHint(f.name);
    if (!hint.empty() && !fs::exists(source, ec)) return Add(hint);
    auto seen = installed_.find(manifest::Lower(relative));
    if (seen != installed_.end() && seen->second.kind == Kind::kFile &&
        seen->second.spelling == relative) {
      Warn("file " + relative + " is listed twice (line " + std::to_string(seen->second.line) +
           "): it is packed twice and installed twice");
    }
    if (relative.size() > kRelativePathLimit) return Add(TooLong("file " + relative));
    if (OneName("file", f.name)) Unique(installed_, "file " + relative, relative, Kind::kFile);
    HighBytes("file " + relative);
    Sized(relative, source, f.has_size, f.size_text, files_);
  }

  void Shortcut(const std::string& name, const std::string& value) override {
    // The link is made as "<shortcut folder>\<name>.lnk".
    if (OneName("shortcut", name)) Unique(shortcut_names_, "shortcut " + name, name, Kind::kLink);
    HighBytes("shortcut " + name);
    shortcuts_.push_back({name, manifest::SplitShortcutValue(value).target, Line()});
  }

  void Registry(const manifest::RegistryLine& r) override {
    if (HasInstDir(kept_.last())) Add(kRegistryInstDir);
    if (r.root == manifest::kRootUnknown) {
      // Written under HKEY_CLASSES_ROOT, whatever the word meant.
      Add("unknown registry root " + r.root_word + " (the roots are HKLM, HKCU, HKCC, HKCR and " +
          "HKPP; the installer would write the entry under HKEY_CLASSES_ROOT)");
    }
  }

  void Component(const std::string& name) override {
    components_.insert(manifest::Lower(name));
    undescribed_.push_back({name, Line()});
    component_line_ = Line();
  }

  void ComponentsStart() override {
    components_.clear();
    alternates_.clear();
    undescribed_.clear();
  }

  void ComponentValue(manifest::ComponentKey key, const std::string& value) override {
    if (key == manifest::ComponentKey::kAlternate) alternates_.push_back({value, Line()});
    if (key == manifest::ComponentKey::kDescription && !undescribed_.empty() &&
        undescribed_.back().second == component_line_) {
      undescribed_.pop_back();
    }
  }

  void Run() override {
    reached_run_ = true;
    run_line_ = Line();
  }

  void Error(const std::string& message) override {
    if (!unchecked_) diag_.Add(std::max(Line(), 1), Explained(message));
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
      CheckShortcuts();
      CheckInstallers();
      CheckComponents();
      if (!has_version_) {
        diag_.Warn(run_line_,
                   "no Version= in [Variables]: the product is registered, and its default "
                   "folder named, without a version");
      }
    }
    plan.records = resources_;
    plan.records.insert(plan.records.end(), files_.begin(), files_.end());
  }

  const std::map<int, uint64_t>& fills() const { return fills_; }

 private:
  int Line() const { return lines_.LineNumber(); }

  // The installer's message for a line it refuses, followed by what the
  // builder knows better about that line, or in place of a misleading one.
  std::string Explained(const std::string& message) const {
    const std::string& line = kept_.last();
    // A backslash after %InstDir% already splits the line here; say why.
    if (message == "Bad registry entry under [Registry]" && HasInstDir(line)) {
      return kRegistryInstDir;
    }
    if (message == "Invalid manifest format" && kept_.ended()) return kNoRun;
    if (message.rfind(kUnknownSection, 0) == 0) {
      return message +
             ": no such section; the sections are [Resources], [Variables], [Features], "
             "[Components], [Shortcuts], [Registry], [Folders], [Files] and [Run]";
    }
    if (message == "file in list without preceding folder") {
      const std::string hint = KeyHint(line);
      if (!hint.empty()) return hint;
    }
    return message;
  }

  // The installer links a shortcut to its target below the installation
  // folder whether anything lies there or not.
  void CheckShortcuts() {
    std::set<std::string> installed;
    for (const auto& [path, name] : installed_) installed.insert(CleanPath(path));
    auto res_dir = variables_.find("resdir");
    if (res_dir == variables_.end() || res_dir->second.first.empty()) {
      // The resources folder holds the installer's copy, its manifest and the resources.
      installed.insert({"resources", "resources\\setup.exe", "resources\\manifest"});
      for (const auto& [file, name] : resource_names_) installed.insert("resources\\" + file);
    }
    for (const auto& [name, target, line] : shortcuts_) {
      std::string path = target;
      if (const char* rest = HasPrefix(target.c_str(), "%InstDir%")) {
        path = rest;
      } else if ((!path.empty() && path[0] == '\\') || (path.size() > 1 && path[1] == ':')) {
        continue;  // another product's program
      }
      if (!installed.count(CleanPath(path))) {
        diag_.Warn(line, "shortcut " + name + ": nothing installs its target " + target +
                             " (no feature file, folder or resource of that path)");
      }
    }
  }

  void CheckComponents() {
    for (const auto& [name, line] : undescribed_) {
      diag_.Warn(line, "component " + name + " has no Description=: its box on the components " +
                           "page has no text");
    }
  }

  void CheckInstallers() {
    for (const auto& [line, download, digest, sources] : installers_) {
      if (download && !digest) {
        diag_.Warn(line, "installer " + sources.front().first + " is downloaded without a " +
                             "Digest= line: whatever the server sends is run; give its SHA-256");
      }
      for (const auto& [source, source_line] : sources) {
        // A plain word names a variable, which a resource usually sets.
        if (!IsWord(source) || variables_.count(manifest::Lower(source))) continue;
        diag_.Warn(source_line, "installer " + source + ": no [Resources] or [Variables] line " +
                                    "sets a variable " + source + ", so the installer looks " +
                                    "for a file of that name beside itself");
      }
    }
  }

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

  static constexpr const char* kInstDirInName =
      "%InstDir% can't be part of a name: the installer puts the installation folder in its place";

  void Add(const std::string& message) {
    if (!unchecked_) diag_.Add(Line(), message);
  }

  void Warn(const std::string& message) {
    if (!unchecked_) diag_.Warn(Line(), message);
  }

  // Names are bytes in the system code page: above 127 they may be other
  // characters on the machine that installs than on the one that builds.
  void HighBytes(const std::string& what) {
    if (std::any_of(what.begin(), what.end(), [](char c) { return c & 0x80; })) {
      Warn(what + ": bytes above 127 in a name are taken in the system code page of the " +
           "machine that installs");
    }
  }

  // A file, resource or shortcut name: one name, without a folder in it.
  bool OneName(const std::string& kind, const std::string& name) {
    std::string fault = HasInstDir(name) ? kInstDirInName : NameFault(name);
    if (fault.empty() && name.find_first_of("\\/") != std::string::npos) {
      fault = "a " + kind + " name can't hold a folder: the installer makes none for it" +
              (kind == "file"
                   ? " (\"Can't create file ... Error 2\"); give the folder a line of its own"
                   : "; use a plain name");
    }
    if (!fault.empty()) Add(kind + " " + name + ": " + fault);
    return fault.empty();
  }

  // Windows compares names without regard to case: two spellings of one
  // file name are one file, and one overwrites the other. The same spelling
  // twice is the same source file, written twice; folders merge. Every
  // shortcut is a link of its own, made anew.
  enum class Kind { kFolder, kFile, kLink };
  struct Name {
    std::string spelling;
    Kind kind;
    int line;
  };
  void Unique(std::map<std::string, Name>& names, const std::string& what, const std::string& path,
              Kind kind) {
    auto [it, added] = names.try_emplace(manifest::Lower(path), Name{path, kind, Line()});
    if (added) return;
    const Name& first = it->second;
    const std::string where = " (line " + std::to_string(first.line) + ")";
    if (first.kind != kind) {
      Add(what + " is also a " + (first.kind == Kind::kFolder ? "folder" : "file") + where);
    } else if (kind == Kind::kLink) {
      Add(what + " has the name of the one" + where + ": the second link replaces the first");
    } else if (kind == Kind::kFile && first.spelling != path) {
      Add(what + " and " + first.spelling + where +
          " differ only in case: on Windows one overwrites the other");
    }
  }

  void Sized(const std::string& name, const fs::path& path, bool has_size,
             const std::string& size_text, std::vector<Record>& list) {
    Record r;
    r.line = Line();
    std::error_code ec;
    // One look at the file: its size is known only for a regular file (a
    // folder or a device gives an error).
    uint64_t size = fs::file_size(path, ec);
    const bool regular = !ec;
    if (!regular) size = 0;
    if (unchecked_) {
      // Whatever the manifest says: the file's real bytes, or an empty record.
      if (regular && size <= kMaxRecord) {
        r.source = path;
        r.size = size;
      }
      list.push_back(r);
      return;
    }
    if (!regular) {
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
  const KeptLines& kept_;
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
  int run_line_ = 0;
  bool has_version_ = false;
  struct InstallerLines {
    int line;
    bool download;
    bool digest;
    std::vector<std::pair<std::string, int>> sources;  // the source and its alternates
  };
  std::vector<InstallerLines> installers_;
  // Components without a Description= line so far, with their lines.
  std::vector<std::pair<std::string, int>> undescribed_;
  int component_line_ = 0;
  struct ShortcutLine {
    std::string name;
    std::string target;
    int line;
  };
  std::vector<ShortcutLine> shortcuts_;
  std::map<std::string, Name> installed_;  // below the installation folder
  std::map<std::string, Name> resource_names_;
  std::map<std::string, Name> shortcut_names_;
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
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) {
      // The installer would take the mark for the first line's characters.
      diagnostics.Add(
          1, "the manifest starts with a UTF-8 byte-order mark; save it in the system code page");
      return false;
    }
  }
  KeptLines kept(lines);
  PlanSink sink(lines, kept, source_dir, unchecked, diagnostics);
  std::string after_run;
  if (manifest::Walk(kept, sink) && !unchecked && lines.Next(after_run)) {
    diagnostics.Warn(lines.LineNumber(),
                     "text after [Run] is ignored: the installer stops reading at [Run]");
  }
  sink.Finish(plan);
  plan.manifest = unchecked ? text : FillSizes(text, sink.fills());
  return unchecked || diagnostics.empty();
}

}  // namespace mkinst
