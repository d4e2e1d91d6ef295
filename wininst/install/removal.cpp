#include "wininst/install/removal.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/alloc.h"
#include "common/compat.h"
#include "common/handle.h"
#include "common/registry.h"
#include "common/vector.h"
#include "wininst/core/messages.h"
#include "wininst/core/product.h"
#include "wininst/core/progress.h"
#include "wininst/core/variables.h"
#include "wininst/install/archive.h"
#include "wininst/install/files.h"
#include "wininst/install/manifest.h"

namespace {

constexpr const char* kManifestCheck = "ManifestCheck";

char* removal_script;

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

void CheckInstalledManifest() {
  const char* digest = InstalledManifestDigest();
  if (!digest) return;
  RegData check = reg_get_string(kRegLocalMachine, ProductKey(), kManifestCheck);
  const bool same = check.error == 0 && strcmp(check.data, digest) == 0;
  free(check.data);
  if (!same) {
    FatalText(
        "The manifest beside this program does not match the installation registered on this "
        "computer: it has been changed since the installation, or it belongs to another "
        "installation.\nNothing has been repaired or removed; install the product again to "
        "repair it.");
  }
}

const char* RemoveInstallation() {
  char* base = _tempnam(nullptr, "qzb");
  char* script = xstrcat(base ? base : "qzb", ".bat");
  free(base);

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
  for (uint32_t i = 0; i < files; i++) {
    const char* path = vec_at<char>(InstalledFiles, i);
    if (!deferred && _stricmp(path, manifest.c_str()) == 0) {
      deferred = path;
      continue;
    }
    snprintf(line, sizeof line, "Deleting file %s", path);
    ReportProgress(Bar(handled, total), line);
    // The running setup.exe cannot go yet: the script deletes it later.
    DeleteFileA(path);
    handled++;
  }
  Vec* busy = vec_new();
  for (uint32_t i = 0; i < folders; i++) {
    const char* path = vec_at<char>(CreatedFolders, i);
    snprintf(line, sizeof line, "Removing folder %s", path);
    ReportProgress(Bar(handled, total), line);
    handled++;
    if (!RemoveDirectoryA(path)) vec_add(busy, const_cast<char*>(path));
  }
  if (deferred) {
    snprintf(line, sizeof line, "Deleting file %s", deferred);
    ReportProgress(Bar(handled, total), line);
    // Its folder holds the running setup.exe too: the script removes it.
    DeleteFileA(deferred);
  }

  FileHandle f(fopen(script, "w"));
  if (!f) Fatal("Could not create %s", script);
  std::string quoted;
  fputs("cd \\\n:Repeat\n", f.get());
  const char* setup = GetVariable("SETUP");
  if (setup && ScriptPath(setup, quoted)) {
    fprintf(f.get(), "del \"%s\"\n", quoted.c_str());
    fprintf(f.get(), "if exist \"%s\" goto Repeat\n", quoted.c_str());
  }
  for (uint32_t i = 0; i < vec_count(busy); i++) {
    if (ScriptPath(vec_at<char>(busy, i), quoted))
      fprintf(f.get(), "rmdir \"%s\"\n", quoted.c_str());
  }
  // The script's own name comes from the runtime's temporary names.
  if (ScriptPath(script, quoted)) fprintf(f.get(), "del \"%s\"\n", quoted.c_str());
  vec_free(busy);

  free(removal_script);
  removal_script = script;
  return script;
}

void StartRemovalScript() {
  if (!removal_script) return;
  // The run's temporary folder is gone by now; the script starts in its own
  // folder (it changes to the root before it does anything).
  std::string folder = removal_script;
  size_t slash = folder.rfind('\\');
  folder = slash == std::string::npos ? std::string("\\") : folder.substr(0, slash + 1);
  // The system's command interpreter runs the script without a console
  // window: the shell's "open" of a batch file starts the same interpreter
  // with a console and its host, which take longer to start than the script
  // takes to run. "/d" keeps a user's AutoRun commands out of it; the doubled
  // quotes survive the interpreter's stripping of the outer pair.
  char system[MAX_PATH];
  const UINT n = GetSystemDirectoryA(system, sizeof system);
  if (n > 0 && n < sizeof system) {
    const std::string interpreter = std::string(system) + "\\cmd.exe";
    std::string command = "\"" + interpreter + "\" /d /c \"\"" + removal_script + "\"\"";
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESHOWWINDOW;
    start.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process{};
    if (CreateProcessA(interpreter.c_str(), &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                       nullptr, folder.c_str(), &start, &process)) {
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
      return;
    }
  }
  ShellExecuteA(nullptr, "open", removal_script, "", folder.c_str(), SW_HIDE);
}
