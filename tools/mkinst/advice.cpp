#include "tools/mkinst/advice.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "wininst/install/manifest_rules.h"

namespace mkinst {

namespace {

bool IsWord(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  });
}

// The word before the "=" of a line that reads as a key; empty for another line.
std::string KeyWord(const std::string& line) {
  const size_t eq = line.find('=');
  const std::string word = line.substr(0, eq);
  return eq != std::string::npos && IsWord(word) ? word : "";
}

bool Holds(const std::vector<std::string>& keys, const std::string& word) {
  const std::string key = manifest::Lower(word + "=");
  return std::any_of(keys.begin(), keys.end(),
                     [&](const std::string& k) { return manifest::Lower(k) == key; });
}

// Whether the installer reads a variable of this name.
bool IsVariable(const std::string& name) {
  const std::vector<std::string>& variables = InstallerVariables();
  return std::any_of(variables.begin(), variables.end(), [&](const std::string& v) {
    return manifest::Lower(v) == manifest::Lower(name);
  });
}

constexpr const char* kSections =
    "the sections are [Resources], [Variables], [Features], [Components], [Shortcuts], "
    "[Registry], [Folders], [Files] and [Run]";

constexpr const char* kRegistryForm =
    "write ROOT\\key\\value name=data, as HKLM\\SOFTWARE\\Maker\\Product\\Edition=\"Community\" "
    "(data in double quotes is a string, any other a hexadecimal DWORD; neither the value's name "
    "nor the data may hold a \\)";

// What is wrong with a [Registry] line that the installer refuses as a bad entry.
std::string RegistryFault(const std::string& line) {
  const size_t first = line.find('\\'), last = line.rfind('\\');
  if (first == std::string::npos) return "the line has no \\ after its root";
  if (first == last) {
    return "the line has one \\ only: the key and the value's name each follow one";
  }
  if (line.find('=') < last) {
    return "the data holds a \\ (the value's name runs from the last \\ to the next =)";
  }
  return "no = after the value's name";
}

// The section a line before any section likely belongs to.
std::string SectionFor(const std::string& line) {
  const std::string word = KeyWord(line);
  const std::string key = SectionOfKey(word);
  if (!key.empty()) return key;
  if (!word.empty()) return "[Variables]";
  if (line.back() == '/' || line.back() == '\\') return "[Features]";
  return "";
}

bool IsSignature(const std::string& line) {
  return line.size() == 32 && std::all_of(line.begin(), line.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
         });
}

std::string BeforeSections(const std::string& line) {
  std::string out = "Invalid manifest format: the line \"" + line +
                    "\" comes before the first section, and every line belongs to one";
  if (IsSignature(line)) {
    return out + "; it looks like a signature line, which mkinst writes itself: leave it out";
  }
  const std::string section = SectionFor(line);
  if (section.empty()) return out + ": begin the manifest with a section line such as [Variables]";
  return out + ": write " + section + " above it";
}

}  // namespace

size_t EditDistance(const std::string& a, const std::string& b) {
  // Two neighbours swapped count as one change, as a typist makes them.
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); i++) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); j++) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); i++) {
    for (size_t j = 1; j <= b.size(); j++) {
      d[i][j] =
          std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

std::string Nearest(const std::string& word, const std::vector<std::string>& candidates) {
  const std::string lower = manifest::Lower(word);
  std::string best;
  size_t best_distance = 3;  // more changes than this make another word
  for (const std::string& candidate : candidates) {
    std::string stem = manifest::Lower(candidate);
    if (!stem.empty() && stem.back() == '=') stem.pop_back();
    const size_t d = EditDistance(lower, stem);
    if (d < best_distance && 2 * d < lower.size()) {
      best = candidate;
      best_distance = d;
    }
  }
  return best;
}

std::string ListOf(const std::vector<std::string>& items) {
  std::string all;
  for (size_t i = 0; i < items.size(); i++) {
    all += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
  }
  return all;
}

std::string FeatureKeyHint(const std::string& line) {
  const std::string word = KeyWord(line);
  if (word.empty()) return "";
  const std::vector<std::string> keys = manifest::FeatureKeys();
  const std::vector<std::string> sub_keys = manifest::InstallerKeys();
  const std::string unknown = "unknown key '" + word + "='";
  if (Holds(sub_keys, word)) {
    return unknown + " here: Alternate=, Arguments= and Digest= lines belong directly below an " +
           "Installer= line";
  }
  if (Holds(manifest::ComponentKeys(), word)) {
    return unknown + " here: " + word + "= is a key of [Components], not of [Features]";
  }
  if (IsVariable(word)) {
    return unknown + " here: " + word + "= is a variable, set under [Variables]";
  }
  std::vector<std::string> candidates = keys;
  candidates.insert(candidates.end(), sub_keys.begin(), sub_keys.end());
  const std::string best = Nearest(word, candidates);
  if (std::find(sub_keys.begin(), sub_keys.end(), best) != sub_keys.end()) {
    return unknown + " (did you mean '" + best + "'? it belongs directly below an Installer= line)";
  }
  if (!best.empty()) return unknown + " (did you mean '" + best + "'?)";
  return unknown + " (a feature's keys are " + ListOf(keys) + ", and below an Installer= line " +
         ListOf(sub_keys) + ")";
}

std::string ComponentKeyHint(const std::string& line) {
  const std::string word = KeyWord(line);
  if (word.empty()) return "";
  const std::vector<std::string> keys = manifest::ComponentKeys();
  const std::string unknown = "unknown key '" + word + "='";
  if (SectionOfKey(word) == "[Features]") {
    return unknown + " here: " + word + "= is a key of [Features], not of [Components]";
  }
  if (IsVariable(word) && !Holds(keys, word)) {
    return unknown + " here: " + word + "= is a variable, set under [Variables]";
  }
  const std::string best = Nearest(word, keys);
  if (!best.empty()) return unknown + " (did you mean '" + best + "'?)";
  return unknown + " (a component's keys are " + ListOf(keys) +
         "; its other lines name its features)";
}

const std::vector<std::string>& InstallerVariables() {
  // clang-format off
  static const char* const kNames[] = {
      "Manufacturer", "Product", "Edition", "Version", "PatchLevel", "Description", "BuildNo",
      "Appname", "SupportURL", "PhoneNo", "UpdateURL", "README", "InstallerHelp", "OrderingURL",
      "HideOrderingURL", "InstDir", "ShortcutFolderName", "ResDir", "CheckInstalledVersions",
      "SuppressMessages", "DoProceed", "ReadQuickstart", "ReadPDFs", "EditHoltekIDE", "SetupFASM",
      "InstallTESSERAPlugin", "TESSERAPluginVer", "SANDRIFTShortCut", "SandriftOnly", "JAVA",
      "JCOMPAT", "BACKGROUND", "ICON"};
  // clang-format on
  static const std::vector<std::string> names(std::begin(kNames), std::end(kNames));
  return names;
}

std::string SectionOfKey(const std::string& name) {
  if (name.empty() || IsVariable(name)) return "";
  std::vector<std::string> feature_keys = manifest::FeatureKeys();
  for (const std::string& key : manifest::InstallerKeys()) feature_keys.push_back(key);
  if (Holds(feature_keys, name)) return "[Features]";
  if (Holds(manifest::ComponentKeys(), name)) return "[Components]";
  return "";
}

std::string Advice(const std::string& message, const RefusedLine& line) {
  const std::string& text = line.text;
  auto starts = [&](const char* prefix) { return message.rfind(prefix, 0) == 0; };
  auto ends = [&](const char* suffix) {
    const std::string s = suffix;
    return message.size() >= s.size() &&
           message.compare(message.size() - s.size(), s.size(), s) == 0;
  };
  if (message == "Invalid manifest format") {
    if (line.at_end) {
      return message + ": the manifest ends without [Run], which must be its last section";
    }
    return BeforeSections(text);
  }
  if (starts("Unknown line in manifest: ")) {
    const std::string name = message.substr(26);
    const std::string best = Nearest(name, manifest::Sections());
    if (!best.empty()) return message + ": no such section (did you mean [" + best + "]?)";
    return message + ": no such section; " + kSections;
  }
  if (message == "Bad line in [Resources]") {
    return message + ": write NAME=file, the variable that will name the file, then the file's " +
           "name in the source folder";
  }
  if (message == "Bad line in [Variables]") return message + ": write NAME=value";
  if (message == "Bad line in [Shortcuts]") {
    return message + ": write name=target[>arguments][,icon], as Tool=bin\\tool.exe";
  }
  if (message == "Bad registry entry under [Registry]") {
    return message + ": " + RegistryFault(text) + "; " + kRegistryForm;
  }
  if (message == "Bad string registry entry under [Registry]") {
    return message + ": the string has no closing double quote; " + kRegistryForm;
  }
  if (message == "Bad DWORD registry entry under [Registry]") {
    return message + ": data without double quotes is a hexadecimal number (1, 1F, 0x10); put a " +
           "string in double quotes";
  }
  if (message == "file in list without preceding folder") {
    const std::string hint = FeatureKeyHint(text);
    if (!hint.empty()) return hint;
    return message + ": put a folder line above it (bin/, or / for the installation folder " +
           "itself)";
  }
  if (starts("missing feature name before ") || message == "Description with no feature name") {
    return message + ": put a Feature= line above it";
  }
  if (message == "feature in un-named component" || ends(" with no component name")) {
    const std::string hint =
        message == "feature in un-named component" ? ComponentKeyHint(text) : "";
    if (!hint.empty()) return hint;
    return message + ": put a Component= line above it";
  }
  if (message == "No feature list in manifest") {
    return message + ": [Components] names features, so [Features] must come before it";
  }
  if (starts("Feature ") && ends(" not in manifest")) {
    const std::string hint = ComponentKeyHint(text);
    if (!hint.empty()) return hint;
    const std::string best = Nearest(text, line.features);
    if (!best.empty()) return message + " (did you mean " + best + "?)";
    if (line.features.empty()) return message + ": [Features] has no feature";
    return message + " (the features are " + ListOf(line.features) + ")";
  }
  if (message == "Digest= without an Installer= line above it") {
    return message + ": put it directly below its Installer= line or that line's other sub-lines";
  }
  if (message == "Second Digest= line for one installer") {
    return message + ": an installer has one digest; remove the other line";
  }
  return message;
}

bool ReadsAsUtf8(const std::string& text) {
  bool sequence = false;
  for (size_t i = 0; i < text.size();) {
    const uint8_t c = static_cast<uint8_t>(text[i]);
    const size_t n = c < 0x80             ? 1
                     : (c & 0xE0) == 0xC0 ? 2
                     : (c & 0xF0) == 0xE0 ? 3
                     : (c & 0xF8) == 0xF0 ? 4
                                          : 0;
    // A lead byte of C0 or C1 would be an overlong form of ASCII: not UTF-8.
    if (n == 0 || c == 0xC0 || c == 0xC1 || i + n > text.size()) return false;
    for (size_t k = 1; k < n; k++) {
      if ((static_cast<uint8_t>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    sequence = sequence || n > 1;
    i += n;
  }
  return sequence;
}

std::string ShownByWindows(const std::string& text) {
  // Windows-1252 from 0x80 to 0x9F; its other bytes above 127 are the
  // Unicode characters of their own number. 0: no character there.
  static const uint16_t kHigh[32] = {
      0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
  std::string out;
  for (char ch : text) {
    const uint8_t c = static_cast<uint8_t>(ch);
    const uint32_t u = c < 0x80 ? c : c < 0xA0 ? kHigh[c - 0x80] : c;
    if (u == 0) {
      out += '?';
    } else if (u < 0x80) {
      out += static_cast<char>(u);
    } else if (u < 0x800) {
      out += static_cast<char>(0xC0 | u >> 6);
      out += static_cast<char>(0x80 | (u & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | u >> 12);
      out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (u & 0x3F));
    }
  }
  return out;
}

}  // namespace mkinst
