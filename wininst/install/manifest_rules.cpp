#include "wininst/install/manifest_rules.h"

#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/compat.h"

namespace {

char FoldCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether `c` is one of the characters of `set`. The manifest's every
// character passes through here and the scans below: written out, they cost
// no call into the C runtime per character, which the string class's
// find_first_of makes (one memchr each) and which Wine's runtime makes dear.
bool IsOneOf(char c, const char* set) {
  for (; *set; set++) {
    if (*set == c) return true;
  }
  return false;
}

}  // namespace

const char* HasPrefix(const char* text, const char* prefix) {
  if (!text || !prefix) return nullptr;
  // Most lines differ from most keys in their first character.
  if (*prefix && FoldCase(*text) != FoldCase(*prefix)) return nullptr;
  size_t n = strlen(prefix);
  return _strnicmp(text, prefix, n) == 0 ? text + n : nullptr;
}

namespace manifest {

namespace {

// The first position from `pos` on whose character is (`in` true) or is not
// in `set`; the text's size when there is none.
size_t Scan(const std::string& text, size_t pos, const char* set, bool in) {
  while (pos < text.size() && IsOneOf(text[pos], set) != in) pos++;
  return pos;
}

// strtok over a std::string: skips leading delimiters, returns the token and
// continues after the delimiter that ended it.
class Tokens {
 public:
  explicit Tokens(const std::string& text) : text_(text) {}
  bool Next(const char* delimiters, std::string& token) {
    size_t start = Scan(text_, pos_, delimiters, false);
    if (start == text_.size()) {
      pos_ = start;
      return false;
    }
    size_t end = Scan(text_, start, delimiters, true);
    token = text_.substr(start, end - start);
    pos_ = end < text_.size() ? end + 1 : end;
    return true;
  }
  std::string Rest() const { return text_.substr(pos_); }

 private:
  std::string text_;
  size_t pos_ = 0;
};

bool IsDigest(const char* text) {
  size_t n = 0;
  for (; text[n]; n++) {
    const char c = FoldCase(text[n]);
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return n == kDigestDigits;
}

bool StartsSection(const std::string& line) { return !line.empty() && line[0] == '['; }

void ReadSize(const std::string& text, bool& has_size, std::string& size_text, uint32_t& size) {
  has_size = !text.empty();
  size_text = text;
  size = static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 10));
}

// A "Key=" line of a feature or component, and its message when it comes
// before the first name line.
template <typename Key>
struct KeyLine {
  const char* prefix;
  Key key;
  const char* missing;
};

// The rule whose prefix begins `text`, with `value` after it; null for none.
template <typename Key, size_t N>
const KeyLine<Key>* MatchKey(const KeyLine<Key> (&rules)[N], const char* text, const char*& value) {
  for (const KeyLine<Key>& rule : rules) {
    if ((value = HasPrefix(text, rule.prefix))) return &rule;
  }
  return nullptr;
}

// A feature's keys after "Feature=", in the order they are tried.
constexpr KeyLine<FeatureKey> kFeatureKeys[] = {
    {"DriverInf=", FeatureKey::kDriverInf, "missing feature name before DriverInf"},
    {"DriverDevice=", FeatureKey::kDriverDevice, "missing feature name before DriverDevice"},
    {"HKCR=", FeatureKey::kHKCR, "missing feature name before HKCR"},
    {"Regkey=", FeatureKey::kRegkey, "missing feature name before Regkey"},
    {"Description=", FeatureKey::kDescription, "Description with no feature name"},
    {"Errmess=", FeatureKey::kErrmess, "missing feature name before Errmess"},
    {"Requires=", FeatureKey::kRequires, "missing feature name before Requires"},
    {"Minversion=", FeatureKey::kMinversion, "missing feature name before Minversion"},
    {"Maxversion=", FeatureKey::kMaxversion, "missing feature name before Maxversion"},
};

// The sub-lines that belong to the "Installer=" line above them.
enum class InstallerKey { kAlternate, kArguments, kDigest };
constexpr KeyLine<InstallerKey> kInstallerKeys[] = {
    {"Alternate=", InstallerKey::kAlternate, nullptr},
    {"Arguments=", InstallerKey::kArguments, nullptr},
    {"Digest=", InstallerKey::kDigest, nullptr},
};

// A component's keys after "Component=", in the order they are tried.
constexpr KeyLine<ComponentKey> kComponentKeys[] = {
    {"Description=", ComponentKey::kDescription, "Description with no component name"},
    {"Alternate=", ComponentKey::kAlternate, "Alternate with no component name"},
    {"Selected=", ComponentKey::kSelected, "Selected with no component name"},
    {"Required=", ComponentKey::kRequired, "Required with no component name"},
    {"Java=", ComponentKey::kJava, "Java with no component name"},
};

class Walker;

// A section and the walker's reader of its lines; none for "[Run]", which
// ends the manifest.
struct SectionRule {
  const char* name;
  bool (Walker::*read)();
};

class Walker {
 public:
  Walker(LineSource& source, Sink& sink, bool every_error)
      : source_(source), sink_(sink), every_error_(every_error) {}

  bool Run();

  // The sections in the order they are tried, each with its reader.
  static const SectionRule kSections[];

 private:
  // Reports a format error; false, for the line's reader to return.
  bool Fail(const std::string& message) {
    sink_.Error(message);
    failed_ = true;
    return false;
  }

  // The next line of the current section; false at its end.
  bool SectionLine(std::string& line) {
    if (!source_.Next(line)) return false;
    if (StartsSection(line)) {
      source_.PushBack(line);
      return false;
    }
    return true;
  }

  // Hands each line of the current section to `rule`; false when one fails
  // and the walk stops at the first error. Otherwise the walk goes on with
  // the line after the one that failed.
  bool Lines(bool (Walker::*rule)(const std::string&)) {
    std::string line;
    while (SectionLine(line)) {
      if (!(this->*rule)(line) && !every_error_) return false;
    }
    return true;
  }

  bool Resources() {
    if (!Lines(&Walker::ResourceLine)) return false;
    sink_.ResourcesEnd();
    return true;
  }

  bool ResourceLine(const std::string& line) {
    Tokens t(line);
    manifest::ResourceLine r;
    std::string size;
    if (!t.Next("=", r.name) || !t.Next("\t=", r.file)) return Fail("Bad line in [Resources]");
    t.Next("\t", size);
    ReadSize(size, r.has_size, r.size_text, r.size);
    sink_.Resource(r);
    return true;
  }

  bool Variables() {
    if (!Lines(&Walker::VariableLine)) return false;
    sink_.VariablesEnd();
    return true;
  }

  bool VariableLine(const std::string& line) {
    Tokens t(line);
    std::string name, value;
    if (!t.Next("=", name)) return Fail("Bad line in [Variables]");
    t.Next("=", value);
    sink_.Variable(name, value);
    return true;
  }

  bool Shortcuts() { return Lines(&Walker::ShortcutLine); }

  bool ShortcutLine(const std::string& line) {
    Tokens t(line);
    std::string name, value;
    if (!t.Next("=", name) || !t.Next("=", value)) return Fail("Bad line in [Shortcuts]");
    sink_.Shortcut(name, value);
    return true;
  }

  bool Features() {
    feature_names_.clear();
    have_feature_list_ = true;
    have_feature_ = have_folder_ = in_installer_ = have_digest_ = false;
    sink_.FeaturesStart();
    if (!Lines(&Walker::FeatureLine)) return false;
    sink_.FeaturesEnd();
    return true;
  }

  bool FeatureLine(const std::string& line) {
    const char* text = line.c_str();
    const char* v;
    if (in_installer_) {
      if (const KeyLine<InstallerKey>* k = MatchKey(kInstallerKeys, text, v)) {
        switch (k->key) {
          case InstallerKey::kAlternate:
            sink_.InstallerAlternate(v);
            break;
          case InstallerKey::kArguments:
            sink_.InstallerArguments(v);
            break;
          case InstallerKey::kDigest:
            if (have_digest_) return Fail("Second Digest= line for one installer");
            if (!IsDigest(v)) {
              return Fail("Bad Digest= line (64 hexadecimal digits of a SHA-256 wanted): " + line);
            }
            have_digest_ = true;
            sink_.InstallerDigest(v);
            break;
        }
        return true;
      }
      in_installer_ = false;
    }
    // A digest belongs to the installer line right above it.
    if (HasPrefix(text, "Digest=")) return Fail("Digest= without an Installer= line above it");
    if ((v = HasPrefix(text, "Feature="))) {
      have_feature_ = true;
      feature_names_.push_back(Lower(v));
      sink_.Feature(v);
      return true;
    }
    if (const KeyLine<FeatureKey>* k = MatchKey(kFeatureKeys, text, v)) {
      if (!have_feature_) return Fail(k->missing);
      sink_.FeatureValue(k->key, v);
      return true;
    }
    if ((v = HasPrefix(text, "Installer="))) {
      if (!have_feature_) return Fail("missing feature name before Installer");
      SizedName source;
      std::string s = v;
      size_t tab = s.rfind('\t');
      if (tab != std::string::npos) {
        ReadSize(s.substr(tab + 1), source.has_size, source.size_text, source.size);
        s.resize(tab);
      }
      source.name = s;
      sink_.Installer(source);
      in_installer_ = true;
      have_digest_ = false;
      return true;
    }
    char last = line.back();
    if (last == '/' || last == '\\') {
      if (!have_feature_) return Fail("missing feature name before folder");
      std::string folder = line;
      for (char& c : folder) {
        if (c == '/') c = '\\';
      }
      while (!folder.empty() && folder.back() == '\\') folder.pop_back();
      have_folder_ = true;
      sink_.Folder(folder);
      return true;
    }
    if (!have_folder_) return Fail("file in list without preceding folder");
    Tokens t(line);
    SizedName file;
    std::string size;
    t.Next("\t", file.name);
    t.Next("\t", size);
    ReadSize(size, file.has_size, file.size_text, file.size);
    sink_.File(file);
    return true;
  }

  bool Components() {
    have_component_ = false;
    sink_.ComponentsStart();
    return Lines(&Walker::ComponentLine);
  }

  bool ComponentLine(const std::string& line) {
    const char* text = line.c_str();
    const char* v;
    if ((v = HasPrefix(text, "Component="))) {
      have_component_ = true;
      sink_.Component(v);
      return true;
    }
    if (const KeyLine<ComponentKey>* k = MatchKey(kComponentKeys, text, v)) {
      if (!have_component_) return Fail(k->missing);
      sink_.ComponentValue(k->key, v);
      return true;
    }
    if (!have_component_) return Fail("feature in un-named component");
    if (!have_feature_list_) return Fail("No feature list in manifest");
    if (std::find(feature_names_.begin(), feature_names_.end(), Lower(line)) == feature_names_.end()) return Fail("Feature " + line + " not in manifest");
    sink_.ComponentFeature(line);
    return true;
  }

  bool Folders() { return Paths(&Sink::FolderPath); }
  bool Files() { return Paths(&Sink::FilePath); }

  bool Paths(void (Sink::*add)(const std::string&)) {
    std::string line;
    while (SectionLine(line)) (sink_.*add)(line);
    return true;
  }

  bool Registry() { return Lines(&Walker::RegistryLine); }

  bool RegistryLine(const std::string& line) {
    static const struct {
      const char* word;
      int code;
    } roots[] = {{"HKLM", kHKLM}, {"HKCU", kHKCU}, {"HKCC", kHKCC}, {"HKCR", kHKCR}, {"HKPP", kHKPP}};
    size_t first = line.find('\\');
    size_t last = line.rfind('\\');
    size_t eq = last == std::string::npos ? last : line.find('=', last);
    if (first == std::string::npos || last == first || eq == std::string::npos) {
      return Fail("Bad registry entry under [Registry]");
    }
    manifest::RegistryLine r;
    r.root_word = line.substr(0, first);
    for (const auto& root : roots) {
      if (_stricmp(r.root_word.c_str(), root.word) == 0) r.root = root.code;
    }
    r.key = line.substr(first + 1, last - first - 1);
    r.value_name = line.substr(last + 1, eq - last - 1);
    std::string value = line.substr(eq + 1);
    if (!value.empty() && value[0] == '"') {
      size_t close = value.rfind('"');
      if (close == 0) return Fail("Bad string registry entry under [Registry]");
      r.is_string = true;
      r.text = value.substr(1, close - 1);
    } else {
      // Hexadecimal, as "%lX" reads it: white space, a sign and "0x" may lead.
      char* end;
      const unsigned long dword = strtoul(value.c_str(), &end, 16);
      if (end == value.c_str()) return Fail("Bad DWORD registry entry under [Registry]");
      r.dword = static_cast<uint32_t>(dword);
    }
    sink_.Registry(r);
    return true;
  }

  LineSource& source_;
  Sink& sink_;
  const bool every_error_;
  bool failed_ = false;
  bool have_feature_list_ = false;
  std::vector<std::string> feature_names_;
  // The current [Features] section: a feature, a folder, an installer's
  // sub-lines and its digest seen.
  bool have_feature_ = false;
  bool have_folder_ = false;
  bool in_installer_ = false;
  bool have_digest_ = false;
  // The current [Components] section: a component seen.
  bool have_component_ = false;
};

const SectionRule Walker::kSections[] = {
    {"Resources", &Walker::Resources}, {"Run", nullptr},
    {"Variables", &Walker::Variables}, {"Shortcuts", &Walker::Shortcuts},
    {"Features", &Walker::Features},   {"Components", &Walker::Components},
    {"Folders", &Walker::Folders},     {"Files", &Walker::Files},
    {"Registry", &Walker::Registry},
};

bool Walker::Run() {
  std::string line;
  bool before_sections = false;  // lines before the first section: one error
  while (source_.Next(line)) {
    if (!StartsSection(line)) {
      if (!before_sections) Fail("Invalid manifest format");
      before_sections = true;
      if (!every_error_) return false;
      continue;
    }
    std::string name;
    Tokens(line).Next("[]", name);
    const SectionRule* section = nullptr;
    for (const SectionRule& rule : kSections) {
      if (_stricmp(name.c_str(), rule.name) == 0) {
        section = &rule;
        break;
      }
    }
    if (!section) {
      Fail("Unknown line in manifest: " + name);
      if (!every_error_) return false;
      // No rule reads its lines: they are passed over.
      while (SectionLine(line)) {
      }
      continue;
    }
    if (!section->read) {
      sink_.Run();
      return !failed_;
    }
    if (!(this->*section->read)()) return false;
  }
  return Fail("Invalid manifest format");
}

}  // namespace

size_t LineEndLength(const std::string& text, size_t pos) {
  if (pos >= text.size() || (text[pos] != '\r' && text[pos] != '\n')) return 0;
  return text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n' ? 2 : 1;
}

bool TextLines::NextRaw(std::string& line) {
  while (pos_ < text_.size()) {
    if (size_t end = LineEndLength(text_, pos_)) {
      // An empty line: its line end is counted and skipped.
      pos_ += end;
      number_++;
      continue;
    }
    size_t end = Scan(text_, pos_, "\r\n", true);
    line = text_.substr(pos_, end - pos_);
    number_++;
    // The line just returned is counted; its line end is skipped without counting.
    pos_ = end + LineEndLength(text_, end);
    return true;
  }
  return false;
}

bool TextLines::Next(std::string& line) {
  if (pushed_) {
    pushed_ = false;
    line = pushed_line_;
    return true;
  }
  std::string raw;
  while (NextRaw(raw)) {
    line = Trim(raw);
    if (!line.empty() && line[0] != ';') return true;
  }
  return false;
}

void TextLines::PushBack(const std::string& line) {
  pushed_ = true;
  pushed_line_ = line;
  pushed_number_ = number_;
}

bool Walk(LineSource& source, Sink& sink, bool every_error) {
  return Walker(source, sink, every_error).Run();
}

std::vector<std::string> FeatureKeys() {
  std::vector<std::string> keys = {"Feature="};
  for (const auto& k : kFeatureKeys) keys.push_back(k.prefix);
  keys.push_back("Installer=");
  return keys;
}

std::vector<std::string> Sections() {
  std::vector<std::string> names;
  for (const auto& section : Walker::kSections) names.push_back(section.name);
  return names;
}

std::vector<std::string> InstallerKeys() {
  std::vector<std::string> keys;
  for (const auto& k : kInstallerKeys) keys.push_back(k.prefix);
  return keys;
}

std::vector<std::string> ComponentKeys() {
  std::vector<std::string> keys = {"Component="};
  for (const auto& k : kComponentKeys) keys.push_back(k.prefix);
  return keys;
}

ShortcutValue SplitShortcutValue(const std::string& value) {
  ShortcutValue r;
  Tokens t(value);
  if (value.find('>') != std::string::npos) {
    t.Next(">,", r.target);
    r.has_arguments = t.Next(",", r.arguments);
    r.has_icon = t.Next(",", r.icon);
  } else {
    t.Next(",", r.target);
    r.icon = t.Rest();
    r.has_icon = !r.icon.empty();
  }
  return r;
}

std::string Lower(std::string s) {
  for (char& c : s) c = FoldCase(c);
  return s;
}

std::string Trim(const std::string& line) {
  const char* ws = " \t\r\n\v\f";
  size_t start = Scan(line, 0, ws, false);
  if (start == line.size()) return "";
  size_t end = line.size();
  while (IsOneOf(line[end - 1], ws)) end--;
  return line.substr(start, end - start);
}

}  // namespace manifest
