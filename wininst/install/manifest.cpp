#include "wininst/install/manifest.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "common/compat.h"
#include "common/osdep.h"
#include "common/vector.h"
#include "wininst/core/entry.h"
#include "wininst/core/folders.h"
#include "common/messages.h"
#include "wininst/core/tempfiles.h"
#include "wininst/core/variables.h"
#include "wininst/install/archive.h"

namespace {

struct ManifestRecord {
  Vec* features = nullptr;
  Vec* components = nullptr;
  Vec* shortcuts = nullptr;
  Vec* registry_entries = nullptr;
  Vec* variables = nullptr;
  // The [Folders] and [Files] lines, as written.
  std::vector<std::string> listed_folders;
  std::vector<std::string> listed_files;
  // Every component's name, those left out with --no- included.
  std::vector<std::string> component_names;
};

ManifestRecord& Record() {
  static ManifestRecord record;
  return record;
}

constexpr int kEnvironmentLimit = 4096;
constexpr int kErrorTextWidth = 60;
constexpr const char* kMakerSite = "https://www.meridox.com/ordering";

template <typename T>
T* Append(Vec*& list, T* item) {
  if (!list) list = vec_new();
  vec_add(list, item);
  return item;
}

Feature* NewFeature(const std::string& name) {
  Feature* f = new Feature;
  f->name = name;
  f->folders = vec_new();
  f->installers = vec_new();
  f->prerequisites = vec_new();
  f->prerequisite_names = vec_new();
  return f;
}

bool BeginsWithYes(const std::string& value) { return HasPrefix(value.c_str(), "yes") != nullptr; }

// A name that Windows would change or take for a device would make the
// installation write elsewhere than its manifest says: an archive that holds
// one was not made by mkinst, and nothing of it is written.
void CheckName(const char* kind, const std::string& line, const std::string& name) {
  if (const char* problem = windows_name_problem(name.c_str())) {
    Fatal("Bad %s name in [Features]: %s (%s %s)", kind, line.c_str(), name.c_str(), problem);
  }
}

// Builds the run-wide records from the manifest's lines.
class Builder : public manifest::Sink {
 public:
  void Resource(const manifest::ResourceLine& r) override {
    // A resource lands in the temporary folder under its own name, never elsewhere.
    if (!r.has_size || windows_name_problem(r.file.c_str())) {
      FatalText("Bad line in [Resources]");
    }
    char* path = xsprintf("%s\\%s", GetVariable("TmpDir"), r.file.c_str());
    // Its variable names it from now on; the run extracts it once the
    // manifest is read, and deletes it at the end whatever happens.
    SetVariable(r.name.c_str(), path);
    RecordTempFile(path);
    vec_add(Resources(), new ::Resource{xstrdup(r.file.c_str()), path, xstrdup(r.name.c_str()),
                                        r.size, false});
  }

  void Variable(const std::string& name, const std::string& value) override {
    // The installed manifest holds the values as the installation had them:
    // expanded again, a "%" in them (an installation folder C:\x%PATH%y)
    // would make them name other places.
    if (installed_) {
      SetVariable(name.c_str(), value.c_str());
      Append(Record().variables, xstrdup(name.c_str()));
      return;
    }
    char expanded[kEnvironmentLimit];
    DWORD n = ExpandEnvironmentStringsA(value.c_str(), expanded, sizeof expanded);
    SetVariable(name.c_str(), n > 0 && n <= sizeof expanded ? expanded : value.c_str());
    Append(Record().variables, xstrdup(name.c_str()));
  }

  void VariablesEnd() override { ResolveFolders(); }

  void FeaturesStart() override {
    Record().features = vec_new();
    feature_ = nullptr;
    folder_ = nullptr;
  }

  void Feature(const std::string& name) override {
    feature_ = NewFeature(name);
    vec_add(Record().features, feature_);
  }

  void FeatureValue(manifest::FeatureKey key, const std::string& v) override {
    using K = manifest::FeatureKey;
    switch (key) {
      case K::kDriverInf: feature_->driver_inf = v; break;
      case K::kDriverDevice: feature_->driver_device = v; break;
      case K::kHKCR: feature_->class_key = v; break;
      case K::kRegkey: feature_->registry_key = v; break;
      case K::kDescription: feature_->description = v; break;
      case K::kErrmess: {
        char* wrapped = WrapText(v.c_str(), kErrorTextWidth);
        feature_->error_text = wrapped;
        free(wrapped);
        break;
      }
      case K::kRequires: vec_add(feature_->prerequisite_names, xstrdup(v.c_str())); break;
      case K::kMinversion: feature_->min_version = v; break;
      case K::kMaxversion: feature_->max_version = v; break;
    }
  }

  void Installer(const manifest::SizedName& source) override {
    installer_ = new ::Installer;
    installer_->source = source.name;
    installer_->alternates = vec_new();
    vec_add(feature_->installers, installer_);
    if (source.has_size) feature_->installer_size = source.size;
  }

  void InstallerAlternate(const std::string& source) override {
    vec_add(installer_->alternates, xstrdup(source.c_str()));
  }

  void InstallerArguments(const std::string& arguments) override { installer_->arguments = arguments; }

  void InstallerDigest(const std::string& digest) override { installer_->digest = digest; }

  void Folder(const std::string& name) override {
    // Empty parts ("/" alone, "a//b") name the folder they stand in.
    for (size_t start = 0; start < name.size();) {
      const size_t end = std::min(name.find('\\', start), name.size());
      if (end > start) CheckName("folder", name, name.substr(start, end - start));
      start = end + 1;
    }
    folder_ = new ::Folder;
    folder_->name = name;
    folder_->files = vec_new();
    vec_add(feature_->folders, folder_);
  }

  void File(const manifest::SizedName& file) override {
    CheckName("file", file.name, file.name);
    FileEntry* e = new FileEntry;
    e->name = file.name;
    e->size = file.has_size ? file.size : manifest::kDefaultFileSize;
    vec_add(folder_->files, e);
  }

  void FeaturesEnd() override {
    Vec* features = Record().features;
    for (uint32_t i = 0; i < vec_count(features); i++) {
      ::Feature* f = vec_at<::Feature>(features, i);
      if (f->description.empty()) f->description = f->name;
      for (uint32_t n = 0; n < vec_count(f->prerequisite_names); n++) {
        const char* wanted = vec_at<char>(f->prerequisite_names, n);
        for (uint32_t j = 0; j < vec_count(features); j++) {
          ::Feature* other = vec_at<::Feature>(features, j);
          if (_stricmp(other->name.c_str(), wanted) == 0) vec_add(f->prerequisites, other);
        }
      }
    }
  }

  void ComponentsStart() override {
    Record().components = vec_new();
    component_ = nullptr;
  }

  void Component(const std::string& name) override {
    component_ = new ::Component;
    component_->name = name;
    component_->features = vec_new();
    component_->alternates = vec_new();
    // An excluded component is still filled by its lines but never listed.
    if (IsComponentAllowed(name.c_str())) vec_add(Record().components, component_);
    Record().component_names.push_back(name);
  }

  void ComponentValue(manifest::ComponentKey key, const std::string& v) override {
    using K = manifest::ComponentKey;
    switch (key) {
      case K::kDescription: component_->description = v; break;
      case K::kAlternate: vec_add(component_->alternates, xstrdup(v.c_str())); break;
      case K::kSelected: component_->selected = BeginsWithYes(v); break;
      case K::kRequired:
        component_->required = BeginsWithYes(v);
        if (component_->required) component_->selected = true;
        break;
      case K::kJava: component_->needs_java = BeginsWithYes(v); break;
    }
  }

  void ComponentFeature(const std::string& name) override {
    vec_add(component_->features, FindFeature(name.c_str()));
  }

  void Shortcut(const std::string& name, const std::string& value) override {
    AddShortcut(name.c_str(), value.c_str());
  }

  void Registry(const manifest::RegistryLine& r) override {
    RegistryEntry* e = new RegistryEntry;
    e->root = r.root;
    e->root_word = r.root_word;
    e->key = r.key;
    e->value_name = r.value_name;
    e->is_string = r.is_string;
    e->text = r.text;
    e->dword = r.dword;
    Append(Record().registry_entries, e);
  }

  void FolderPath(const std::string& path) override { Record().listed_folders.push_back(path); }

  void FilePath(const std::string& path) override { Record().listed_files.push_back(path); }

  void Run() override {
    if (!GetVariable("OrderingURL") && !IsTrue("HideOrderingURL")) {
      SetVariable("OrderingURL", kMakerSite);
    }
    ApplyReferralTag();
  }

  void Error(const std::string& message) override { FatalText(message.c_str()); }

 private:
  static void ApplyReferralTag() {
    uint16_t referral;
    if (!ReadReferralTag(referral)) return;
    char id[16];
    snprintf(id, sizeof id, "%u", referral);
    SetVariable("ReferralID", id);
    // A hidden ordering link stays hidden: the number is kept, no address made up.
    if (GetVariable("OrderingURL")) {
      char* url = ExpandVariables("[OrderingURL]?referrer=[ReferralID]");
      SetVariable("OrderingURL", url);
      free(url);
    }
  }

  // Reading an installed manifest: values are taken as they stand.
  bool installed_ = InstalledManifestDigest() != nullptr;
  ::Feature* feature_ = nullptr;
  ::Folder* folder_ = nullptr;
  ::Installer* installer_ = nullptr;
  ::Component* component_ = nullptr;
};

}  // namespace

void ReadManifest(char* text) {
  if (!Record().variables) Record().variables = vec_new();
  manifest::TextLines lines(text);
  free(text);
  std::string first;
  if (!lines.NextRaw(first) || first != ManifestSignature()) {
    FatalText("Invalid manifest signature");
  }
  ParseManifest(lines);
}

void ParseManifest(manifest::TextLines& text) {
  Builder builder;
  WalkManifest(text, builder);
}

Vec* FeatureList() {
  return Record().features;
}
Vec* ComponentList() {
  return Record().components;
}
Vec* Shortcuts() {
  return Record().shortcuts;
}
Vec* RegistryEntries() {
  return Record().registry_entries;
}
Vec* ManifestVariables() {
  return Record().variables;
}

const std::vector<std::string>& ComponentNames() {
  return Record().component_names;
}

const std::vector<std::string>& ListedFolders() {
  return Record().listed_folders;
}

const std::vector<std::string>& ListedFiles() {
  return Record().listed_files;
}

Feature* FindFeature(const char* name) {
  Vec* features = Record().features;
  if (!features) FatalText("No feature list in manifest");
  for (uint32_t i = 0; i < vec_count(features); i++) {
    Feature* f = vec_at<Feature>(features, i);
    if (_stricmp(f->name.c_str(), name) == 0) return f;
  }
  Fatal("Feature %s not in manifest", name);
}

Component* FindComponent(const char* name) {
  Vec* components = Record().components;
  if (!components) FatalText("No component_list in manifest");
  for (uint32_t i = 0; i < vec_count(components); i++) {
    Component* c = vec_at<Component>(components, i);
    if (_stricmp(c->name.c_str(), name) == 0) return c;
  }
  Fatal("Component %s not in manifest", name);
}

void AddShortcut(const char* name, const char* value) {
  manifest::ShortcutValue s = manifest::SplitShortcutValue(value);
  AddShortcutRecord(name, s.target.c_str(), s.arguments.c_str(), s.icon.c_str());
}

void AddShortcutRecord(const char* name, const char* target, const char* arguments,
                       const char* icon) {
  Shortcut* sc = new Shortcut;
  sc->name = name;
  sc->target = target;
  sc->arguments = arguments;
  sc->icon = icon;
  Append(Record().shortcuts, sc);
}

bool IsComponentAllowed(const char* name) {
  Vec* excluded = ExcludedComponents();
  for (uint32_t i = 0; i < vec_count(excluded); i++) {
    if (_stricmp(vec_at<char>(excluded, i), name) == 0) return false;
  }
  return true;
}
