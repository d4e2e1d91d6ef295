// The manifest's line rules, shared by the installer and the archive builder
// so that the builder refuses exactly what the installer would refuse.
//
// The walker reads significant lines (trimmed, comments dropped) from a
// LineSource after the signature line, applies the section and key rules and
// reports each line's meaning to a Sink. A format error goes to Sink::Error
// with the installer's own message; the walk then stops, or, for the builder,
// goes on with the next line, so that one reading finds every mistake.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The rest of `text` after `prefix` (compared without regard to case), or
// null when the text does not begin with it or either is null.
const char* HasPrefix(const char* text, const char* prefix);

namespace manifest {

class LineSource {
 public:
  virtual ~LineSource() = default;
  // The next significant line; false at the end of the text.
  virtual bool Next(std::string& line) = 0;
  // Makes the next call of Next return this line again (one line deep).
  virtual void PushBack(const std::string& line) = 0;
};

enum class FeatureKey {
  kDriverInf,
  kDriverDevice,
  kHKCR,
  kRegkey,
  kDescription,
  kErrmess,
  kRequires,
  kMinversion,
  kMaxversion,
};

enum class ComponentKey { kDescription, kAlternate, kSelected, kRequired, kJava };

// The length of an installer's "Digest=" value: a SHA-256 in hexadecimal.
constexpr size_t kDigestDigits = 64;

// The size of a feature file line that states none.
constexpr uint32_t kDefaultFileSize = 8192;

// Registry root codes, as the registry layer numbers its roots.
enum RootCode { kRootUnknown = 0, kHKCR = 1, kHKCC = 2, kHKCU = 3, kHKLM = 4, kHKPP = 5 };

struct ResourceLine {
  std::string name;       // the variable that will name the file
  std::string file;       // file name in the archive and the temporary folder
  bool has_size = false;  // the installer requires it; the builder fills it in
  std::string size_text;
  uint32_t size = 0;
};

struct SizedName {
  std::string name;
  bool has_size = false;  // false: no size follows (a file then counts 8192 bytes)
  std::string size_text;
  uint32_t size = 0;
};

struct RegistryLine {
  int root = kRootUnknown;
  std::string root_word;
  std::string key;
  std::string value_name;
  bool is_string = false;
  std::string text;    // a string value, quotes removed
  uint32_t dword = 0;  // a DWORD value
};

class Sink {
 public:
  virtual ~Sink() = default;
  virtual void Resource(const ResourceLine&) {}
  virtual void ResourcesEnd() {}
  virtual void Variable(const std::string& name, const std::string& value) {}
  virtual void VariablesEnd() {}
  virtual void FeaturesStart() {}
  virtual void Feature(const std::string& name) {}
  virtual void FeatureValue(FeatureKey key, const std::string& value) {}
  // An "Installer=" line: the source and an optional size after its last TAB.
  virtual void Installer(const SizedName& source) {}
  virtual void InstallerAlternate(const std::string& source) {}
  virtual void InstallerArguments(const std::string& arguments) {}
  // A "Digest=" sub-line: the SHA-256 of whatever the installer resolves
  // to, as 64 hexadecimal digits (checked by the walker).
  virtual void InstallerDigest(const std::string& digest) {}
  // A folder line, already normalised: backslashes, no trailing backslash.
  virtual void Folder(const std::string& name) {}
  virtual void File(const SizedName& file) {}
  virtual void FeaturesEnd() {}
  virtual void ComponentsStart() {}
  virtual void Component(const std::string& name) {}
  virtual void ComponentValue(ComponentKey key, const std::string& value) {}
  virtual void ComponentFeature(const std::string& feature) {}
  virtual void Shortcut(const std::string& name, const std::string& value) {}
  virtual void Registry(const RegistryLine& entry) {}
  virtual void FolderPath(const std::string& path) {}
  virtual void FilePath(const std::string& path) {}
  // "[Run]": the end of the manifest.
  virtual void Run() {}
  // A format error with the installer's message. The installer does not
  // return from it; when it returns, the walk stops (or, walking for every
  // error, passes over the line) and reports false.
  virtual void Error(const std::string& message) = 0;
};

// The lines of a manifest text. Lines end at CR or LF and runs of line ends
// count as one, so empty lines vanish; significant lines are trimmed and a
// line whose first character is ";" is a comment. Line numbers count every
// line of the text (CR LF being one line end), for the builder's messages.
class TextLines : public LineSource {
 public:
  explicit TextLines(std::string text) : text_(std::move(text)) {}
  // The next raw line, untrimmed (the signature line is read this way).
  bool NextRaw(std::string& line);
  bool Next(std::string& line) override;
  void PushBack(const std::string& line) override;
  // The number of the line that Next or NextRaw returned last.
  int LineNumber() const { return pushed_ ? pushed_number_ : number_; }

 private:
  std::string text_;
  size_t pos_ = 0;
  int number_ = 0;  // lines passed so far
  bool pushed_ = false;
  std::string pushed_line_;
  int pushed_number_ = 0;
};

// Walks the sections until [Run]. False after an error. With `every_error`
// the walk goes on after one: a line that fails is passed over (so are the
// lines before the first section and those of an unknown section), the rest
// are read as the installer would read them.
bool Walk(LineSource& source, Sink& sink, bool every_error = false);

// The names of the sections as the walker knows them ("Resources", ...).
std::vector<std::string> Sections();

// The keys of a [Features] line as the walker matches them, "Feature=" first
// and "Installer=" last (its sub-lines left out): the builder names them
// when a line looks like a misspelt one.
std::vector<std::string> FeatureKeys();

// The sub-lines of an "Installer=" line: "Alternate=", "Arguments=", "Digest=".
std::vector<std::string> InstallerKeys();

// The keys of a [Components] line, "Component=" first.
std::vector<std::string> ComponentKeys();

// Splits the value of a shortcut line: target[>arguments][,icon].
struct ShortcutValue {
  std::string target;
  bool has_arguments = false;
  std::string arguments;
  bool has_icon = false;
  std::string icon;
};
ShortcutValue SplitShortcutValue(const std::string& value);

// ASCII letters in lower case: names compare without regard to case, as the
// installer compares them.
std::string Lower(std::string s);

// The length of the line end at text[pos]: 2 for CR LF, 1 for a lone CR or
// LF, 0 for no line end. Lines are counted by their ends this way everywhere.
size_t LineEndLength(const std::string& text, size_t pos);

// Trims white space at both ends; used for every manifest line.
std::string Trim(const std::string& line);

}  // namespace manifest
