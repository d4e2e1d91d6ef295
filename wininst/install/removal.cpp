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

// Writes "text" collapsed for "%InstDir%", followed by the platform's line end.
void PutCollapsed(FILE* f, const char* text) {
  char* collapsed = CollapseInstDir(text);
  fprintf(f, "%s\n", collapsed);
  free(collapsed);
}

// Writes "name=value", the value collapsed.
void PutVariable(FILE* f, const char* name, const char* value) {
  fprintf(f, "%s=", name);
  PutCollapsed(f, value);
}

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
  FileHandle f(fopen(path, "w"));
  if (!f) FatalText("Can't open manifest for writing");
  fprintf(f.get(), "%s\n", ManifestSignature());
  // The manifest lists itself, so that a removal deletes it too.
  vec_add(InstalledFiles, path);

  fputs("[Variables]\n", f.get());
  // With ResDir the resources folder, and the installed copy in it, lie apart
  // from the installation: the copy could not tell the installation folder
  // from its own place, so the manifest names it.
  const char* res_dir = GetVariable("ResDir");
  if (res_dir && *res_dir) fprintf(f.get(), "InstDir=%s\n", GetVariable("InstDir"));
  for (uint32_t i = 0; ManifestVariables && i < vec_count(ManifestVariables); i++) {
    const char* name = vec_at<char>(ManifestVariables, i);
    const char* value = GetVariable(name);
    PutVariable(f.get(), name, value ? value : "");
  }
  for (uint32_t i = 0; i < vec_count(Resources); i++) {
    Resource* r = vec_at<Resource>(Resources, i);
    if (r->variable) PutVariable(f.get(), r->variable, r->file_name);
  }

  fputs("[Files]\n", f.get());
  for (uint32_t i = 0; i < vec_count(InstalledFiles); i++) {
    PutCollapsed(f.get(), vec_at<char>(InstalledFiles, i));
  }

  fputs("[Folders]\n", f.get());
  uint32_t folders = vec_count(CreatedFolders);
  for (uint32_t i = folders; i-- > 0;) PutCollapsed(f.get(), vec_at<char>(CreatedFolders, i));
  // An installation folder that existed before was not recorded: a removal
  // still takes it away once it is empty.
  const char* inst_dir = GetVariable("InstDir");
  if (folders == 0 || strlen(vec_at<char>(CreatedFolders, 0)) > strlen(inst_dir)) {
    PutCollapsed(f.get(), inst_dir);
  }

  fputs("[Shortcuts]\n", f.get());
  for (uint32_t i = 0; Shortcuts && i < vec_count(Shortcuts); i++) {
    Shortcut* s = vec_at<Shortcut>(Shortcuts, i);
    char* target = CollapseInstDir(s->target.c_str());
    fprintf(f.get(), "%s=%s", s->name.c_str(), target);
    free(target);
    if (!s->arguments.empty()) fprintf(f.get(), ">%s", s->arguments.c_str());
    if (!s->icon.empty()) fprintf(f.get(), ",%s", s->icon.c_str());
    fputc('\n', f.get());
  }

  // A repair writes the registry entries again: the installed copy keeps them.
  if (RegistryEntries) fputs("[Registry]\n", f.get());
  for (uint32_t i = 0; RegistryEntries && i < vec_count(RegistryEntries); i++) {
    RegistryEntry* e = vec_at<RegistryEntry>(RegistryEntries, i);
    fprintf(f.get(), "%s\\%s\\%s=", e->root_word.c_str(), e->key.c_str(), e->value_name.c_str());
    if (e->is_string) {
      fprintf(f.get(), "\"%s\"\n", e->text.c_str());
    } else {
      fprintf(f.get(), "%lX\n", static_cast<unsigned long>(e->dword));
    }
  }
  fputs("[Run]\n", f.get());
  if (fclose(f.release()) != 0) FatalText("Can't open manifest for writing");

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
  ShellExecuteA(nullptr, "open", removal_script, "", folder.c_str(), SW_HIDE);
}
