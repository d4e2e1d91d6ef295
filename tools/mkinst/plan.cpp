#include "tools/mkinst/plan.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <system_error>

#include "common/osdep.h"
#include "tools/mkinst/advice.h"
#include "wininst/install/manifest_rules.h"

namespace fs = std::filesystem;

namespace mkinst {

void Diagnostics::Add(int line, const std::string& message) {
  const auto at = std::upper_bound(message_lines_.begin(), message_lines_.end(), line);
  messages_.insert(messages_.begin() + (at - message_lines_.begin()),
                   name_ + ":" + std::to_string(line) + ": " + message);
  message_lines_.insert(at, line);
}

void Diagnostics::Warn(int line, const std::string& message) {
  const auto at = std::upper_bound(warning_lines_.begin(), warning_lines_.end(), line);
  warnings_.insert(warnings_.begin() + (at - warning_lines_.begin()),
                   name_ + ":" + std::to_string(line) + ": warning: " + message);
  warning_lines_.insert(at, line);
}

namespace {

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
  const char* problem = windows_name_problem(part.c_str());
  if (!problem) return "";
  for (char c : part) {
    // The character that no name may hold, when that is the problem.
    const char one[2] = {c, '\0'};
    if (c != '.' && c != ' ' && windows_name_problem(one)) {
      return c > 0 && c < 32 ? "a control character can't be part of a Windows file name"
                             : std::string("\"") + c + "\" can't be part of a Windows file name";
    }
  }
  std::string kept = part;
  kept.erase(kept.find_last_not_of(". ") + 1);
  if (kept.size() < part.size()) {
    return part + " " + problem +
           (kept.empty() ? ": nothing is left of it" : " (it would be " + kept + ")");
  }
  return part + " " + problem;
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

// Why the installer's download cannot fetch the address `source`; empty when
// it can, or when the source is no address (a path or a variable). The
// download takes http:// and ftp:// in any case, connects to the standard
// port and takes everything between "//" and the next "/" as the host's name.
std::string AddressFault(const std::string& source) {
  const size_t colon = source.find("://");
  // A drive letter before ":" is a path's; a scheme has two letters or more.
  if (colon == std::string::npos || colon < 2 ||
      !std::all_of(source.begin(), source.begin() + colon, [](char c) {
        return isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
      })) {
    return "";
  }
  const std::string what = "address " + source + ": ";
  if (!IsDownload(source)) {
    return what + "the installer downloads http:// and ftp:// addresses only; it takes this " +
           "one for a file beside itself and says \"Installer not found\". Serve the file " +
           "over http:// and pin it with Digest=";
  }
  const size_t host = colon + 3, slash = source.find('/', host);
  if (slash == std::string::npos || slash == host) {
    return what + "the installer needs a host and then the file's path (http://host/file); " +
           "without them it says \"No host part\"";
  }
  const std::string name = source.substr(host, slash - host);
  if (name.find('@') != std::string::npos) {
    return what + "the installer's download sends no user name or password (FTP logs on " +
           "anonymously) and would take " + name + " for the host's name";
  }
  if (name.find(':') != std::string::npos) {
    return what + "the installer's download connects to the standard port (80 for http://, 21 " +
           "for ftp://) and would take " + name + " for the host's name (\"HttpSendRequest " +
           "failed: 12007\"); serve the file on the standard port";
  }
  return "";
}

// The name Windows finds for a path below the installation folder: case
// ignored, and the dots and spaces that end each name dropped.
std::string WindowsKey(const std::string& path) {
  std::string out;
  for (size_t start = 0; start <= path.size();) {
    const size_t end = std::min(path.find('\\', start), path.size());
    std::string part = path.substr(start, end - start);
    part.erase(part.find_last_not_of(". ") + 1);
    out += (start == 0 ? "" : "\\") + manifest::Lower(part);
    start = end + 1;
  }
  return out;
}

// A folder as a folder line writes it: "a/b/".
std::string Slashed(const std::string& folder) {
  std::string out;
  for (size_t start = 0; start <= folder.size();) {
    const size_t end = std::min(folder.find('\\', start), folder.size());
    if (end > start) out += folder.substr(start, end - start) + "/";
    start = end + 1;
  }
  return out;
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

// The components page: its boxes are read up to the eleventh (the control
// numbers it gives them), and the list grows upward from the folder box, 15
// dialog units a component. Up to seven the page's instructions stay clear of
// it, up to five when a component is downloaded (whose note adds two lines);
// from the tenth on it covers the picture's title as well.
constexpr int kPageComponents = 11;
constexpr int kClearComponents = 7;
constexpr int kClearWithDownloads = 5;

// Records what the archive must carry while the shared rules walk the text.
class PlanSink : public manifest::Sink {
 public:
  PlanSink(const manifest::TextLines& lines, const KeptLines& kept, const fs::path& dir,
           bool unchecked, const std::set<int>& utf8_lines, Diagnostics& d)
      : lines_(lines),
        kept_(kept),
        dir_(dir),
        unchecked_(unchecked),
        utf8_lines_(utf8_lines),
        diag_(d) {}

  void Resource(const manifest::ResourceLine& r) override {
    variables_[manifest::Lower(r.name)] = {r.file, Line()};  // the variable names its path
    KeyElsewhere("[Resources]", r.name);
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
    } else {
      OneName("resource", r.file);
      Unique(resource_names_, "resource " + r.file, r.file, Kind::kFile);
    }
    HighBytes("resource " + r.file);
    // The installer refuses a line without a size; the builder fills it in.
    Sized(r.file, SourcePath(dir_, r.file), r.has_size, r.size_text, resources_);
  }

  void Variable(const std::string& name, const std::string& value) override {
    variables_[manifest::Lower(name)] = {value, Line()};
    variable_lines_.push_back({name, Line()});
    KeyElsewhere("[Variables]", name);
  }

  // A second [Features] section replaces the first one's list, and with it
  // the records that the installer will look for.
  void FeaturesStart() override {
    files_.clear();
    folder_.clear();
    installed_.clear();
    installers_.clear();
    features_.clear();
    downloaded_.clear();
  }

  void Feature(const std::string& name) override { features_.push_back(name); }

  void Installer(const manifest::SizedName& source) override {
    installers_.push_back({Line(), IsDownload(source.name), false, {{source.name, Line()}}, ""});
    Address(source.name);
  }

  void InstallerAlternate(const std::string& source) override {
    installers_.back().download = installers_.back().download || IsDownload(source);
    installers_.back().sources.push_back({source, Line()});
    Address(source);
  }

  void InstallerDigest(const std::string&) override { installers_.back().digest = true; }

  // "[Name]" references, expanded when the installer runs.
  void InstallerArguments(const std::string& arguments) override {
    for (size_t open = arguments.find('['); open != std::string::npos;
         open = arguments.find('[', open + 1)) {
      const size_t close = arguments.find(']', open);
      if (close == std::string::npos) break;
      referenced_.insert(manifest::Lower(arguments.substr(open + 1, close - open - 1)));
    }
  }

  void Folder(const std::string& name) override {
    folder_ = name;
    HighBytes("folder " + name);
    if (name.size() > kRelativePathLimit) return Add(TooLong("folder " + name));
    std::string path;
    for (size_t start = 0; start <= name.size();) {
      size_t end = std::min(name.find('\\', start), name.size());
      const std::string part = name.substr(start, end - start);
      std::string fault = HasInstDir(part) ? kInstDirInName : part.empty() ? "" : NameFault(part);
      if (part.empty() && !name.empty()) {
        // The installer joins the folder to its own with one "\": the path
        // would hold "\\", which the installation's records of what it made
        // (and their undo) do not take.
        fault =
            "an empty name: a folder line names its folders below the installation folder, "
            "one \"/\" apart, without one at the start (write " +
            Slashed(name) + ")";
      }
      if (!fault.empty()) return Add("folder " + name + ": " + fault);
      path += (path.empty() ? "" : "\\") + part;
      if (!part.empty()) Unique(installed_, "folder " + path, path, Kind::kFolder);
      start = end + 1;
    }
  }

  void File(const manifest::SizedName& f) override {
    std::string relative = folder_.empty() ? f.name : folder_ + "\\" + f.name;
    const fs::path source = SourcePath(dir_, relative);
    std::error_code ec;
    // A misspelt key reads as a file line; when no such file is there, it was meant as a key.
    const std::string hint = unchecked_ ? "" : FeatureKeyHint(f.name);
    if (!hint.empty() && !fs::exists(source, ec)) return Add(hint);
    auto seen = installed_.find(WindowsKey(relative));
    if (seen != installed_.end() && seen->second.kind == Kind::kFile &&
        seen->second.spelling == relative) {
      Warn("file " + relative + " is listed twice (line " + std::to_string(seen->second.line) +
           "): it is packed twice and installed twice");
    }
    if (relative.size() > kRelativePathLimit) return Add(TooLong("file " + relative));
    const bool named = OneName("file", f.name);
    // A refused name still takes its place, so that a later name Windows
    // takes for it is told; its own message already says the rest.
    if (named || f.name.find_first_of("\\/") == std::string::npos) {
      Unique(installed_, "file " + relative, relative, Kind::kFile, named);
    }
    HighBytes("file " + relative);
    // The name must change before its file is looked for.
    if (!named && !unchecked_) return;
    Sized(relative, source, f.has_size, f.size_text, files_);
  }

  void Shortcut(const std::string& name, const std::string& value) override {
    // The link is made as "<shortcut folder>\<name>.lnk".
    if (OneName("shortcut", name)) Unique(shortcut_names_, "shortcut " + name, name, Kind::kLink);
    KeyElsewhere("[Shortcuts]", name);
    HighBytes("shortcut " + name);
    const manifest::ShortcutValue v = manifest::SplitShortcutValue(value);
    shortcuts_.push_back({name, v.target, Line(), v.icon});
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
    component_names_.push_back(name);
    listed_.push_back({name, Line(), false, false});
  }

  void ComponentsStart() override {
    components_.clear();
    component_names_.clear();
    alternates_.clear();
    listed_.clear();
  }

  void ComponentValue(manifest::ComponentKey key, const std::string& value) override {
    if (key == manifest::ComponentKey::kAlternate) alternates_.push_back({value, Line()});
    if (key == manifest::ComponentKey::kDescription) listed_.back().described = !value.empty();
  }

  void ComponentFeature(const std::string& feature) override {
    if (downloaded_.count(manifest::Lower(feature))) listed_.back().downloaded = true;
  }

  void FeaturesEnd() override {
    for (const InstallerLines& installer : installers_) {
      if (installer.download) downloaded_.insert(manifest::Lower(installer.feature));
    }
  }

  void Run() override {
    reached_run_ = true;
    run_line_ = Line();
  }

  void Error(const std::string& message) override {
    if (unchecked_) return;
    // Every line of [Components] says it when [Features] is missing: once is enough.
    if (message == "No feature list in manifest") {
      if (said_no_features_) return;
      said_no_features_ = true;
    }
    diag_.Add(std::max(Line(), 1), Explained(message));
  }

  // Checks that need the whole manifest; then the records in archive order.
  void Finish(Plan& plan) {
    if (!unchecked_ && reached_run_) {
      for (const auto& [name, line] : alternates_) {
        // The installer stops on it when it looks the component up.
        if (components_.count(manifest::Lower(name))) continue;
        const std::string best = Nearest(name, component_names_);
        diag_.Add(line, "Component " + name + " not in manifest" +
                            (best.empty() ? " (the components are " + ListOf(component_names_) + ")"
                                          : " (did you mean " + best + "?)"));
      }
      CheckDocuments();
      CheckShortcuts();
      CheckInstallers();
      CheckComponents();
      CheckIdentity();
    }
    plan.records = resources_;
    plan.records.insert(plan.records.end(), files_.begin(), files_.end());
  }

  const std::map<int, uint64_t>& fills() const { return fills_; }
  bool reached_run() const { return reached_run_; }

 private:
  int Line() const { return lines_.LineNumber(); }

  // The installer's message for a line it refuses, followed by what the
  // builder knows better about that line, or in place of a misleading one.
  std::string Explained(const std::string& message) const {
    // A backslash after %InstDir% already splits the line here; say why.
    if (message == "Bad registry entry under [Registry]" && HasInstDir(kept_.last())) {
      return kRegistryInstDir;
    }
    RefusedLine line;
    line.text = kept_.last();
    line.at_end = kept_.ended();
    line.features = features_;
    return Advice(message, line);
  }

  void Address(const std::string& source) {
    const std::string fault = AddressFault(source);
    if (!fault.empty()) Add(fault);
    if (installers_.back().download) installers_.back().feature = features_.back();
  }

  // A key of [Features] or [Components] under another section is no key
  // there: a variable, a resource or a shortcut of that name.
  void KeyElsewhere(const std::string& section, const std::string& name) {
    const std::string home = SectionOfKey(name);
    if (home.empty()) return;
    const std::string what = section == "[Variables]"   ? "sets a variable " + name
                             : section == "[Resources]" ? "names a resource " + name
                                                        : "makes a shortcut " + name;
    Warn(name + "= under " + section + " " + what + ": it is a key of " + home +
         ", and only there does it mean what it says");
  }

  // The installer links a shortcut to its target below the installation
  // folder whether anything lies there or not.
  void CheckShortcuts() {
    std::set<std::string> installed;
    for (const auto& [path, name] : installed_) installed.insert(CleanPath(name.spelling));
    auto res_dir = variables_.find("resdir");
    if (res_dir == variables_.end() || res_dir->second.first.empty()) {
      // The resources folder holds the installer's copy, its manifest and the resources.
      installed.insert({"resources", "resources\\setup.exe", "resources\\manifest"});
      for (const auto& [key, name] : resource_names_) {
        installed.insert("resources\\" + manifest::Lower(name.spelling));
      }
    }
    for (const auto& [name, target, line, icon] : shortcuts_) {
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
    for (const Listed& c : listed_) {
      if (!c.described) {
        diag_.Warn(c.line, "component " + c.name + " has no Description=: its box on the " +
                               "components page has no text");
      }
    }
    // The page lists the components up to the first without a description.
    int rows = 0;
    bool downloads = false;
    while (rows < static_cast<int>(listed_.size()) && listed_[rows].described) {
      downloads = downloads || listed_[rows].downloaded;
      rows++;
    }
    if (rows < 2) return;
    const int clear = downloads ? kClearWithDownloads : kClearComponents;
    if (rows > kPageComponents) {
      const Listed& c = listed_[kPageComponents];
      diag_.Add(c.line, "component " + c.name + " is the " + Ordinal(kPageComponents + 1) +
                            " on the components page, which shows " +
                            std::to_string(kPageComponents) + ": the page reads no box past the " +
                            Ordinal(kPageComponents) +
                            ", and the list runs over the picture's title to the window's top; " +
                            "join components, or leave some to features that every component "
                            "installs");
    } else if (rows > clear) {
      const Listed& c = listed_[clear];
      diag_.Warn(c.line, "component " + c.name + " is the " + Ordinal(clear + 1) +
                             " on the components page: from there on the list covers the page's " +
                             "instructions" + (downloads ? " and its note on downloads" : "") +
                             " (from the 10th on the picture's title too); " +
                             std::to_string(clear) + " fit below them" +
                             (downloads ? " when a component is downloaded" : ""));
    }
  }

  static std::string Ordinal(int n) {
    const char* suffix = n % 100 / 10 == 1 ? "th"
                         : n % 10 == 1     ? "st"
                         : n % 10 == 2     ? "nd"
                         : n % 10 == 3     ? "rd"
                                           : "th";
    return std::to_string(n) + suffix;
  }

  // The maker's name, the version and names the installer would not know.
  void CheckIdentity() {
    if (!Has("version")) {
      diag_.Warn(run_line_,
                 "no Version= in [Variables]: the product is registered, and its default "
                 "folder named, without a version");
    }
    if (!Has("manufacturer")) {
      // The default folder leaves an unset level out; the product's key,
      // "SOFTWARE\[Manufacturer]\[Product]...", keeps it empty.
      auto value = [this](const char* name, const char* unset) {
        return Has(name) ? Value(name) : std::string(unset);
      };
      std::string path = value("product", "<Product>");
      if (Has("edition")) path += "\\" + Value("edition");
      path += "\\" + value("version", "<Version>");
      std::string folder;
      if (!Has("instdir")) {
        folder =
            "the default folder is <Program Files>\\" + path + ", without the maker's level, and ";
      }
      diag_.Warn(run_line_, "no Manufacturer= in [Variables]: " + folder +
                                "the product's key HKLM\\SOFTWARE\\\\" + path +
                                ", with an empty name where the maker's stands (the uninstall "
                                "entry's publisher is MERIDOX Software either way); give the "
                                "maker's name");
    }
    // A name near one the installer reads, and read by nothing else, is
    // likely that one misspelt (Manufactuer=).
    std::set<std::string> used = referenced_;
    for (const auto& installer : installers_) {
      for (const auto& [source, line] : installer.sources) used.insert(manifest::Lower(source));
    }
    for (const auto& shortcut : shortcuts_) used.insert(manifest::Lower(shortcut.icon));
    const std::string pdfs = Value("readpdfs");
    for (size_t start = 0; start < pdfs.size();) {
      const size_t end = std::min(pdfs.find('|', start), pdfs.size());
      used.insert(manifest::Lower(pdfs.substr(start, end - start)));
      start = end + 1;
    }
    for (const auto& [name, line] : variable_lines_) {
      if (used.count(manifest::Lower(name)) || !SectionOfKey(name).empty()) continue;
      const std::vector<std::string>& known = InstallerVariables();
      const std::string best = Nearest(name, known);
      if (best.empty() || manifest::Lower(best) == manifest::Lower(name)) continue;
      diag_.Warn(line, name + "= is no variable the installer reads (did you mean " + best +
                           "=?); as it stands it serves only [Name] references");
    }
  }

  bool Has(const std::string& lower_name) const {
    auto v = variables_.find(lower_name);
    return v != variables_.end() && !v->second.first.empty();
  }

  std::string Value(const std::string& lower_name) const {
    auto v = variables_.find(lower_name);
    return v == variables_.end() ? "" : v->second.first;
  }

  void CheckInstallers() {
    for (const auto& [line, download, digest, sources, feature] : installers_) {
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
  // characters on the machine that installs than on the one that builds. A
  // line written in UTF-8 has its own warning, which shows what Windows shows.
  void HighBytes(const std::string& what) {
    if (utf8_lines_.count(Line())) return;
    if (std::any_of(what.begin(), what.end(), [](char c) { return c & 0x80; })) {
      Warn(what + ": bytes above 127 in a name are taken in the system code page of the " +
           "machine that installs");
    }
  }

  // A file, resource or shortcut name: one name, without a folder in it.
  bool OneName(const std::string& kind, const std::string& name) {
    std::string fault;
    if (HasInstDir(name)) {
      fault = kInstDirInName;
    } else if (name.find_first_of("\\/") != std::string::npos && name != "..") {
      fault = "a " + kind + " name can't hold a folder: the installer makes none for it" +
              (kind == "file"
                   ? " (\"Can't create file ... Error 2\"); give the folder a line of its own"
                   : "; use a plain name");
    } else {
      // A shortcut is the file "<name>.lnk".
      fault = NameFault(kind == "shortcut" ? name + ".lnk" : name);
    }
    if (!fault.empty()) Add(kind + " " + name + ": " + fault);
    return fault.empty();
  }

  // Windows compares names without regard to case, and drops the dots and
  // spaces that end one: two spellings of one file name are one file, and
  // one overwrites the other. The same spelling twice is the same source
  // file, written twice; folders merge. Every shortcut is a link of its own,
  // made anew.
  enum class Kind { kFolder, kFile, kLink };
  struct Name {
    std::string spelling;
    Kind kind;
    int line;
  };
  void Unique(std::map<std::string, Name>& names, const std::string& what, const std::string& path,
              Kind kind, bool report = true) {
    auto [it, added] = names.try_emplace(WindowsKey(path), Name{path, kind, Line()});
    if (added || !report) return;
    const Name& first = it->second;
    const std::string where = " (line " + std::to_string(first.line) + ")";
    if (first.kind != kind) {
      Add(what + " is also a " + (first.kind == Kind::kFolder ? "folder" : "file") + where);
    } else if (kind == Kind::kLink) {
      Add(what + " has the name of the one" + where + ": the second link replaces the first");
    } else if (kind == Kind::kFile && manifest::Lower(first.spelling) == manifest::Lower(path) &&
               first.spelling != path) {
      Add(what + " and " + first.spelling + where +
          " differ only in case: on Windows one overwrites the other");
    } else if (kind == Kind::kFile && first.spelling != path) {
      Add(what + " and " + first.spelling + where +
          " are one name on Windows, which drops the dots and spaces that end a name: one "
          "overwrites the other");
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
  const std::set<int>& utf8_lines_;
  Diagnostics& diag_;
  std::string folder_;
  std::vector<Record> resources_;
  std::vector<Record> files_;
  std::vector<std::string> features_;  // in line order
  std::set<std::string> downloaded_;   // lower-case names of features with a download
  std::set<std::string> components_;   // lower-case
  std::vector<std::string> component_names_;
  std::vector<std::pair<std::string, int>> alternates_;
  std::map<int, uint64_t> fills_;
  std::map<std::string, std::pair<std::string, int>> variables_;  // lower-case name: value, line
  std::vector<std::pair<std::string, int>> variable_lines_;       // [Variables]: name, line
  bool said_no_features_ = false;
  std::set<std::string> referenced_;  // lower-case names in "[Name]" references
  bool reached_run_ = false;
  int run_line_ = 0;
  struct InstallerLines {
    int line;
    bool download;
    bool digest;
    std::vector<std::pair<std::string, int>> sources;  // the source and its alternates
    std::string feature;                               // whose installer it is, when it downloads
  };
  std::vector<InstallerLines> installers_;
  // The components in line order, as the page would list them.
  struct Listed {
    std::string name;
    int line;
    bool described;
    bool downloaded;
  };
  std::vector<Listed> listed_;
  struct ShortcutLine {
    std::string name;
    std::string target;
    int line;
    std::string icon;
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

// The lines written in UTF-8, up to [Run]: the installer takes their bytes
// above 127 in the system code page, so what Windows shows is another text.
std::set<int> Utf8Lines(const std::string& text, Diagnostics& diagnostics) {
  std::set<int> found;
  manifest::TextLines lines(text);
  std::string line, section;
  while (lines.Next(line)) {
    if (line[0] == '[' && manifest::Lower(line).rfind("[run]", 0) == 0) break;
    if (!ReadsAsUtf8(line)) continue;
    found.insert(lines.LineNumber());
    diagnostics.Warn(lines.LineNumber(),
                     line + " reads as UTF-8: Windows shows it as " + ShownByWindows(line) +
                         " (the installer takes each byte for a character of the system code "
                         "page, Windows-1252 on Western systems); save the manifest in that "
                         "code page");
  }
  return found;
}

}  // namespace

bool PlanArchive(const std::string& text, const fs::path& source_dir, bool unchecked, Plan& plan,
                 Diagnostics& diagnostics) {
  plan = Plan{};
  manifest::TextLines lines(text);
  std::set<int> utf8_lines;
  if (!unchecked) {
    if (text.size() > kMaxManifest) {
      diagnostics.Add(1, "the manifest holds " + std::to_string(text.size()) + " bytes, more " +
                             "than the " + std::to_string(kMaxManifest >> 20) + " MB an " +
                             "installer's manifest may have (the installer reads it whole)");
      return false;
    }
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
    utf8_lines = Utf8Lines(text, diagnostics);
  }
  KeptLines kept(lines);
  PlanSink sink(lines, kept, source_dir, unchecked, utf8_lines, diagnostics);
  // Every mistake is reported, not the first alone.
  manifest::Walk(kept, sink, !unchecked);
  std::string after_run;
  if (sink.reached_run() && !unchecked && lines.Next(after_run)) {
    diagnostics.Warn(lines.LineNumber(),
                     "text after [Run] is ignored: the installer stops reading at [Run]");
  }
  sink.Finish(plan);
  plan.manifest = unchecked ? text : FillSizes(text, sink.fills());
  return unchecked || diagnostics.empty();
}

}  // namespace mkinst
