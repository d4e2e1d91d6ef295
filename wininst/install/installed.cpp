#include "wininst/install/installed.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "common/compat.h"
#include "common/handle.h"
#include "common/messages.h"
#include "common/osdep.h"
#include "common/registry.h"
#include "common/vector.h"
#include "wininst/core/folders.h"
#include "wininst/core/paths.h"
#include "wininst/core/product.h"
#include "wininst/core/runmode.h"
#include "wininst/core/variables.h"
#include "wininst/install/archive.h"
#include "wininst/install/placement.h"
#include "wininst/install/transaction.h"
#include "wininst/install/manifest.h"
#include "wininst/install/links.h"
#include "wininst/install/output.h"

namespace {

// Under the product's key: the digest of the installed manifest.
constexpr const char* kManifestCheck = "ManifestCheck";

// The installed manifest is made in memory and written at once: written line
// by line it cost a write call per installed file under Wine (its C library
// empties a text stream's buffer at every line end). Lines end as the
// platform's text files do, which is what the reader and the digest expect.
class ManifestText {
 public:
  ManifestText& operator<<(const char* text) {
    for (; *text; text++) {
      if (*text == '\n') text_ += '\r';
      text_ += *text;
    }
    return *this;
  }
  ManifestText& operator<<(const std::string& text) { return *this << text.c_str(); }
  // "text" collapsed for "%InstDir%", and the line's end.
  void Collapsed(const char* text) {
    char* collapsed = CollapseInstDir(text);
    *this << collapsed << "\n";
    free(collapsed);
  }
  // "name=value", the value collapsed.
  void Variable(const char* name, const char* value) {
    *this << name << "=";
    Collapsed(value);
  }
  // Into the output file (output.h), which the caller has opened.
  bool WriteTo() const { return WriteOutput(text_.data(), static_cast<uint32_t>(text_.size())); }

 private:
  std::string text_;
};

// The manifest's [Variables]: the manifest's own variables, then each
// resource's variable naming its installed copy.
void WriteVariables(ManifestText& m) {
  m << "[Variables]\n";
  // With ResDir the resources folder, and the installed copy in it, lie apart
  // from the installation: the copy could not tell the installation folder
  // from its own place, so the manifest names it.
  const char* res_dir = GetVariable("ResDir");
  if (res_dir && *res_dir) m << "InstDir=" << InstallFolder() << "\n";
  for (uint32_t i = 0; ManifestVariables() && i < vec_count(ManifestVariables()); i++) {
    const char* name = vec_at<char>(ManifestVariables(), i);
    m.Variable(name, VariableOr(name));
  }
  for (uint32_t i = 0; i < vec_count(Resources()); i++) {
    Resource* r = vec_at<Resource>(Resources(), i);
    if (r->variable) m.Variable(r->variable, r->file_name);
  }
}

// [Files] in the order recorded, [Folders] innermost first.
void WriteFilesAndFolders(ManifestText& m) {
  m << "[Files]\n";
  for (uint32_t i = 0; i < vec_count(InstalledFiles()); i++) {
    m.Collapsed(vec_at<char>(InstalledFiles(), i));
  }
  m << "[Folders]\n";
  const uint32_t folders = vec_count(CreatedFolders());
  for (uint32_t i = folders; i-- > 0;) m.Collapsed(vec_at<char>(CreatedFolders(), i));
  // An installation folder that existed before was not recorded: a removal
  // still takes it away once it is empty.
  const char* inst_dir = InstallFolder("");
  if (folders == 0 || strlen(vec_at<char>(CreatedFolders(), 0)) > strlen(inst_dir)) {
    m.Collapsed(inst_dir);
  }
}

// [Shortcuts], and [Registry]: a repair writes both again.
void WriteShortcutsAndRegistry(ManifestText& m) {
  m << "[Shortcuts]\n";
  for (uint32_t i = 0; Shortcuts() && i < vec_count(Shortcuts()); i++) {
    Shortcut* s = vec_at<Shortcut>(Shortcuts(), i);
    TextHandle target(CollapseInstDir(s->target.c_str()));
    m << s->name << "=" << target.get();
    if (!s->arguments.empty()) m << ">" << s->arguments;
    if (!s->icon.empty()) m << "," << s->icon;
    m << "\n";
  }
  if (RegistryEntries()) m << "[Registry]\n";
  for (uint32_t i = 0; RegistryEntries() && i < vec_count(RegistryEntries()); i++) {
    RegistryEntry* e = vec_at<RegistryEntry>(RegistryEntries(), i);
    m << e->root_word << "\\" << e->key << "\\" << e->value_name << "=";
    if (e->is_string) {
      m << "\"" << e->text << "\"\n";
    } else {
      char number[16];
      snprintf(number, sizeof number, "%lX\n", static_cast<unsigned long>(e->dword));
      m << number;
    }
  }
}

struct Installation {
  Vec* files = vec_new();
  Vec* folders = vec_new();
};

Installation& Record() {
  static Installation record;
  return record;
}

}  // namespace

void RecordListedPaths() {
  for (const std::string& folder : ListedFolders()) RecordCreatedFolder(folder.c_str());
  for (const std::string& file : ListedFiles()) RecordInstalledFile(file.c_str());
}

std::string ResourcesFolder() {
  const char* base = GetVariable("ResDir");
  if (!base || !*base) base = InstallFolder();
  return std::string(base ? base : "") + "\\resources";
}

Vec* InstalledFiles() {
  return Record().files;
}

Vec* CreatedFolders() {
  return Record().folders;
}

void RecordInstalledFile(const char* path) {
  vec_add(Record().files, xstrdup(path));
}

void RecordCreatedFolder(const char* path) {
  Vec* folders = Record().folders;
  for (uint32_t i = 0; i < vec_count(folders); i++) {
    if (_stricmp(vec_at<char>(folders, i), path) == 0) return;
  }
  vec_add(folders, xstrdup(path));
}

void WriteInstalledManifest(Transaction& t) {
  if (!Mode().install) return;
  const std::string manifest = ResourcesFolder() + "\\manifest";
  const char* path = manifest.c_str();
  // The manifest lists itself, so that a removal deletes it too.
  RecordInstalledFile(path);
  ManifestText m;
  m << ManifestSignature() << "\n";
  WriteVariables(m);
  WriteFilesAndFolders(m);
  WriteShortcutsAndRegistry(m);
  m << "[Run]\n";
  Placement placement(t, {manifest}, false, true);
  if (placement.Open(manifest) == OutputOpened::kFailed || !m.WriteTo() || !CloseOutput() ||
      !placement.Finish(manifest)) {
    AbandonOutput();
    FatalText("Can't open manifest for writing");
  }

  // A repair or removal runs with administrator rights on what this file
  // says, in a folder that ordinary users may be able to change: its digest
  // is kept where only administrators can write, and checked before use.
  t.SetString(kRegLocalMachine, ProductKey(), kManifestCheck, FileManifestCheck(path), true);
  t.Apply();
}

namespace {

// The lists of an installed manifest's text.
class ListedPaths : public manifest::Sink {
 public:
  std::vector<std::string> files, folders;
  void FolderPath(const std::string& path) override { folders.push_back(Expanded(path)); }
  void FilePath(const std::string& path) override { files.push_back(Expanded(path)); }
  void Error(const std::string&) override { failed = true; }
  bool failed = false;

 private:
  static std::string Expanded(const std::string& path) {
    TextHandle text(ExpandInstDir(path.c_str()));
    return text.get();
  }
};

// Whether a product key of this product's family registers `folder` with
// the check of the manifest `text`.
bool RegisteredWith(const std::string& folder, const std::string& text) {
  const std::string family = FamilyKey();
  for (const std::string& version : reg_subkeys(kRegLocalMachine, family.c_str())) {
    for (const std::string& level : reg_subkeys(kRegLocalMachine, (family + "\\" + version).c_str())) {
      const std::string key = family + "\\" + version + "\\" + level;
      std::string registered, check;
      if (reg_read(kRegLocalMachine, key.c_str(), "InstDir", registered) == 0 && SamePath(registered, folder) &&
          reg_read(kRegLocalMachine, key.c_str(), kManifestCheck, check) == 0 &&
          ManifestCheckMatches(check, text.data(), text.size())) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace

bool PreviousInstallation(std::vector<std::string>& files, std::vector<std::string>& folders) {
  const std::string path = ResourcesFolder() + "\\manifest";
  if (is_link(path.c_str()) || !LinkOnTheWay(ResourcesFolder()).empty()) return false;
  // Read once: the digest and the lists come from the same bytes.
  FileHandle file(fopen(path.c_str(), "rb"));
  if (!file) return false;
  std::string text;
  char buffer[16384];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, file.get())) > 0;) text.append(buffer, n);
  if (!RegisteredWith(InstallFolder(""), text)) return false;
  manifest::TextLines lines(text);
  std::string signature;
  lines.NextRaw(signature);
  ListedPaths listed;
  if (!manifest::Walk(lines, listed) || listed.failed) return false;
  files = std::move(listed.files);
  folders = std::move(listed.folders);
  return true;
}

void CheckInstalledManifest() {
  if (!InstalledManifestDigest()) return;
  // The registry, which only administrators can change, says what the
  // installation in this very folder holds: the product's key must record
  // this folder as its installation folder, this program's folder as its
  // resources folder and the manifest beside it as the one it wrote.
  // Another product's manifest, one that names another folder, or a copy
  // that stands elsewhere is refused before anything is done.
  std::string check, folder;
  const char* inst_dir = InstallFolder();
  const bool same = reg_read(kRegLocalMachine, ProductKey(), kManifestCheck, check) == 0 &&
                    InstalledManifestMatches(check) &&
                    reg_read(kRegLocalMachine, ProductKey(), "InstDir", folder) == 0 && inst_dir &&
                    SamePath(folder, inst_dir) && SamePath(ResourcesFolder(), ProgramFolder());
  if (!same) {
    Fatal(
        "The manifest %s\\manifest does not match the installation registered on this "
        "computer for this folder: it has been changed since the installation, it belongs to "
        "another installation, or the installation has been moved.\nNothing has been repaired "
        "or removed; install the product again to repair it.",
        ProgramFolder().c_str());
  }
  // The copy carries no archive: it has nothing to install, and an
  // installation's undo must never take what the installation holds.
  if (Mode().install) {
    Fatal("This program is the installed copy of the installer of %s: it repairs or removes "
          "the installation in %s and installs nothing.\nStart it with --remove to remove the "
          "installation, or without options to repair or remove it.",
          VariableOr("Description", VariableOr("Product")), InstallFolder(""));
  }
}

