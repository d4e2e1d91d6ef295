#include "wininst/install/removal.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/alloc.h"
#include "common/compat.h"
#include "common/handle.h"
#include "common/osdep.h"
#include "common/registry.h"
#include "common/vector.h"
#include "wininst/core/messages.h"
#include "wininst/core/product.h"
#include "wininst/core/progress.h"
#include "wininst/core/tempfiles.h"
#include "wininst/core/variables.h"
#include "wininst/install/archive.h"
#include "wininst/install/files.h"
#include "wininst/install/manifest.h"

namespace {

constexpr const char* kManifestCheck = "ManifestCheck";

// The removal script's name in its folder, and what it must do once the run
// has ended: the folders that stayed busy.
constexpr const char* kScriptName = "remove.bat";
constexpr const char* kFolderVariable = "MERIDOX_REMOVAL";
bool removal_script;
Vec* busy_folders;

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
  bool WriteTo(const char* path) const {
    FileHandle f(fopen(path, "wb"));
    return f && fwrite(text_.data(), 1, text_.size(), f.get()) == text_.size() &&
           fclose(f.release()) == 0;
  }

 private:
  std::string text_;
};

int Bar(uint64_t handled, uint64_t total) {
  return total ? static_cast<int>((total - handled) * 100 / total) : 0;
}

// A path as the command interpreter reads it between double quotes: "%"
// doubled, so that no variable is expanded. A path with a double quote or a
// control character cannot be written safely at all: false, and it stays.
bool ScriptPath(const char* path, std::string& out) {
  out.clear();
  for (const char* p = path; *p; p++) {
    if (*p == '"' || static_cast<unsigned char>(*p) < 0x20) return false;
    out += *p;
    if (*p == '%') out += '%';
  }
  return true;
}

}  // namespace

void WriteInstalledManifest() {
  if (!IsTrue("Install")) return;
  char* path = xstrdup((ResourcesFolder() + "\\manifest").c_str());
  ManifestText m;
  m << ManifestSignature() << "\n";
  // The manifest lists itself, so that a removal deletes it too.
  vec_add(InstalledFiles, path);

  m << "[Variables]\n";
  // With ResDir the resources folder, and the installed copy in it, lie apart
  // from the installation: the copy could not tell the installation folder
  // from its own place, so the manifest names it.
  const char* res_dir = GetVariable("ResDir");
  if (res_dir && *res_dir) m << "InstDir=" << GetVariable("InstDir") << "\n";
  for (uint32_t i = 0; ManifestVariables && i < vec_count(ManifestVariables); i++) {
    const char* name = vec_at<char>(ManifestVariables, i);
    const char* value = GetVariable(name);
    m.Variable(name, value ? value : "");
  }
  for (uint32_t i = 0; i < vec_count(Resources); i++) {
    Resource* r = vec_at<Resource>(Resources, i);
    if (r->variable) m.Variable(r->variable, r->file_name);
  }

  m << "[Files]\n";
  for (uint32_t i = 0; i < vec_count(InstalledFiles); i++) {
    m.Collapsed(vec_at<char>(InstalledFiles, i));
  }

  m << "[Folders]\n";
  uint32_t folders = vec_count(CreatedFolders);
  for (uint32_t i = folders; i-- > 0;) m.Collapsed(vec_at<char>(CreatedFolders, i));
  // An installation folder that existed before was not recorded: a removal
  // still takes it away once it is empty.
  const char* inst_dir = GetVariable("InstDir");
  if (folders == 0 || strlen(vec_at<char>(CreatedFolders, 0)) > strlen(inst_dir)) {
    m.Collapsed(inst_dir);
  }

  m << "[Shortcuts]\n";
  for (uint32_t i = 0; Shortcuts && i < vec_count(Shortcuts); i++) {
    Shortcut* s = vec_at<Shortcut>(Shortcuts, i);
    char* target = CollapseInstDir(s->target.c_str());
    m << s->name << "=" << target;
    free(target);
    if (!s->arguments.empty()) m << ">" << s->arguments;
    if (!s->icon.empty()) m << "," << s->icon;
    m << "\n";
  }

  // A repair writes the registry entries again: the installed copy keeps them.
  if (RegistryEntries) m << "[Registry]\n";
  for (uint32_t i = 0; RegistryEntries && i < vec_count(RegistryEntries); i++) {
    RegistryEntry* e = vec_at<RegistryEntry>(RegistryEntries, i);
    m << e->root_word << "\\" << e->key << "\\" << e->value_name << "=";
    if (e->is_string) {
      m << "\"" << e->text << "\"\n";
    } else {
      char number[16];
      snprintf(number, sizeof number, "%lX\n", static_cast<unsigned long>(e->dword));
      m << number;
    }
  }
  m << "[Run]\n";
  if (is_link(path)) {
    Fatal("%s is a link to another place.\nThe installation writes nothing through a link; "
          "remove the link and run the installation again.",
          path);
  }
  if (!m.WriteTo(path)) FatalText("Can't open manifest for writing");

  // A repair or removal runs with administrator rights on what this file
  // says, in a folder that ordinary users may be able to change: its digest
  // is kept where only administrators can write, and checked before use.
  if (long e = reg_set_string(kRegLocalMachine, ProductKey(), kManifestCheck,
                              FileDigest(path).c_str())) {
    Fatal("Registry write failure %d", static_cast<int>(e));
  }
  // The manifest records the folders now.
  EndFolderJournal();
}

namespace {

bool SamePath(std::string a, std::string b) {
  while (a.size() > 3 && a.back() == '\\') a.pop_back();
  while (b.size() > 3 && b.back() == '\\') b.pop_back();
  return _stricmp(a.c_str(), b.c_str()) == 0;
}

std::string ProgramFolder() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) return {};
  char* slash = strrchr(path, '\\');
  return slash ? std::string(path, slash) : std::string();
}

}  // namespace

void CheckInstalledManifest() {
  const char* digest = InstalledManifestDigest();
  if (!digest) return;
  // The registry, which only administrators can change, says what the
  // installation in this very folder holds: the product's key must record
  // this folder as its installation folder, this program's folder as its
  // resources folder and the manifest beside it as the one it wrote.
  // Another product's manifest, one that names another folder, or a copy
  // that stands elsewhere is refused before anything is done.
  RegData check = reg_get_string(kRegLocalMachine, ProductKey(), kManifestCheck);
  RegData folder = reg_get_string(kRegLocalMachine, ProductKey(), "InstDir");
  const char* inst_dir = GetVariable("InstDir");
  const bool same = check.error == 0 && strcmp(check.data, digest) == 0 && folder.error == 0 &&
                    inst_dir && SamePath(folder.data, inst_dir) &&
                    SamePath(ResourcesFolder(), ProgramFolder());
  free(check.data);
  free(folder.data);
  if (!same) {
    Fatal(
        "The manifest %s\\manifest does not match the installation registered on this "
        "computer for this folder: it has been changed since the installation, it belongs to "
        "another installation, or the installation has been moved.\nNothing has been repaired "
        "or removed; install the product again to repair it.",
        ProgramFolder().c_str());
  }
}

const char* RemoveInstallation() {
  ReportProgress(100, nullptr);
  // The bar runs down from 100 as the entries are handled.
  const uint32_t files = vec_count(InstalledFiles);
  const uint32_t folders = vec_count(CreatedFolders);
  const uint64_t total = files + folders;
  uint64_t handled = 0;
  char line[2048];
  // The installed manifest goes last: a removal that ends half-way (a
  // confirmed Cancel) leaves an installation that can still be removed.
  const std::string manifest = ResourcesFolder() + "\\manifest";
  const char* deferred = nullptr;
  // Nothing is deleted through a link: a file whose folder (or a folder
  // above it, up to the installation's own) has become a link stays where
  // the link leads. A link in the place of a file or folder goes as a link.
  std::string folder, link;
  for (uint32_t i = 0; i < files; i++) {
    const char* path = vec_at<char>(InstalledFiles, i);
    if (!deferred && _stricmp(path, manifest.c_str()) == 0) {
      deferred = path;
      continue;
    }
    handled++;
    const char* slash = strrchr(path, '\\');
    if (!slash) continue;
    if (folder.size() != static_cast<size_t>(slash - path) || folder.compare(0, folder.size(), path, folder.size()) != 0) {
      folder.assign(path, slash);
      link = HoldFolders(folder);
    }
    if (!link.empty()) {
      snprintf(line, sizeof line, "Not deleting file %s: %s is a link", path, link.c_str());
      ReportProgress(Bar(handled - 1, total), line);
      continue;
    }
    snprintf(line, sizeof line, "Deleting file %s", path);
    ReportProgress(Bar(handled - 1, total), line);
    // The running setup.exe cannot go yet: the script deletes it later.
    DeleteFileA(path);
  }
  // Held folders could not be removed, not even by the run itself.
  ReleaseFolders();
  Vec* busy = vec_new();
  for (uint32_t i = 0; i < folders; i++) {
    const char* path = vec_at<char>(CreatedFolders, i);
    std::string parent = path;
    parent.resize(parent.rfind('\\') == std::string::npos ? 0 : parent.rfind('\\'));
    link = parent.empty() ? std::string() : LinkOnTheWay(parent);
    if (!link.empty()) {
      snprintf(line, sizeof line, "Not removing folder %s: %s is a link", path, link.c_str());
    } else {
      snprintf(line, sizeof line, "Removing folder %s", path);
    }
    ReportProgress(Bar(handled, total), line);
    handled++;
    if (link.empty() && !RemoveDirectoryA(path)) vec_add(busy, const_cast<char*>(path));
  }
  if (deferred) {
    snprintf(line, sizeof line, "Deleting file %s", deferred);
    ReportProgress(Bar(handled, total), line);
    // Its folder holds the running setup.exe too: the script removes it.
    if (LinkOnTheWay(ResourcesFolder()).empty()) DeleteFileA(deferred);
  }
  busy_folders = busy;
  removal_script = true;
  return kScriptName;
}

void StartRemovalScript() {
  if (!removal_script) return;
  // The script is made now, the last thing the run does: a run that ends
  // early leaves none behind. It lies in a new folder that only the
  // administrators may change, under a name nobody knows before: no user's
  // program can plant or swap the commands that run with the
  // administrator's rights.
  const std::string folder = CreatePrivateFolder();
  const std::string script = folder + "\\" + kScriptName;
  std::string text = "cd \\\n:Repeat\n";
  std::string quoted;
  const char* setup = GetVariable("SETUP");
  if (setup && ScriptPath(setup, quoted)) {
    text += "del \"" + quoted + "\"\nif exist \"" + quoted + "\" goto Repeat\n";
  }
  for (uint32_t i = 0; busy_folders && i < vec_count(busy_folders); i++) {
    if (ScriptPath(vec_at<char>(busy_folders, i), quoted)) text += "rmdir \"" + quoted + "\"\n";
  }
  if (ScriptPath(script.c_str(), quoted)) text += "del \"" + quoted + "\"\n";
  HANDLE file = CreateFileA(script.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  const bool ok = file != INVALID_HANDLE_VALUE &&
                  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                  written == text.size();
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (!ok) {
    DeleteFileA(script.c_str());
    RemoveDirectoryA(folder.c_str());
    Fatal("Could not create %s", script.c_str());
  }
  // The system's command interpreter runs the script without a console
  // window: the shell's "open" of a batch file starts the same interpreter
  // with a console and its host, which take longer to start than the script
  // takes to run. "/d" keeps a user's AutoRun commands out of it and
  // "/v:off" the expansion of "!"; once the script has ended (and deleted
  // itself), the same interpreter removes its folder. The folder reaches the
  // command line through a variable of the interpreter's environment, which
  // it expands once: a "%" in the path stays as it is.
  char system[MAX_PATH];
  const UINT n = GetSystemDirectoryA(system, sizeof system);
  if (n > 0 && n < sizeof system) {
    const std::string interpreter = std::string(system) + "\\cmd.exe";
    std::string command = "\"" + interpreter + "\" /d /v:off /c \"call \"%" + kFolderVariable +
                          "%\\" + kScriptName + "\" & rmdir \"%" + kFolderVariable + "%\"\"";
    // The interpreter inherits the run's environment; the run ends now.
    SetEnvironmentVariableA(kFolderVariable, folder.c_str());
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESHOWWINDOW;
    start.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process{};
    // Started beside its folder, not in it: the folder must be free to go.
    const std::string beside = folder.substr(0, folder.rfind('\\') + 1);
    if (CreateProcessA(interpreter.c_str(), &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                       nullptr, beside.c_str(), &start, &process)) {
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
      return;
    }
  }
  ShellExecuteA(nullptr, "open", script.c_str(), "", nullptr, SW_HIDE);
}
