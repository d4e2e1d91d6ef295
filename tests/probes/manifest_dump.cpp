// A stand-in for the installer that stops after opening its archive: it reads
// its command line like the installer, runs OpenArchive (integrity check and
// manifest parser) and writes what the parser built, as JSON, to the file
// named by the variable DumpTo. Packed by mkinst like the real stub.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/messages.h"
#include "common/vector.h"
#include "wininst/core/tempfiles.h"
#include "wininst/install/archive.h"
#include "wininst/install/installed.h"
#include "wininst/core/entry.h"
#include "wininst/install/manifest.h"
#include "wininst/run.h"
#include "wininst/core/variables.h"

namespace {

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x80) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string Text(const char* s) { return s ? Quote(s) : "null"; }
std::string Flag(bool b) { return b ? "true" : "false"; }

template <typename F>
std::string List(Vec* v, F item) {
  std::string out = "[";
  for (uint32_t i = 0; v && i < vec_count(v); i++) {
    if (i) out += ",";
    out += item(vec_get(v, i));
  }
  return out + "]";
}

std::string Strings(Vec* v) {
  return List(v, [](void* p) { return Text(static_cast<char*>(p)); });
}

std::string Dump() {
  std::string j = "{\"variables\":{";
  const char* names[] = {"InstDir", "ProgramFiles", "ShortcutFolder", "TmpDir", "OrderingURL", "ReferralID",
                         "Install", "HeadlessInstall", "Remove", "FullVersion", "SETUP", "PatchLevel"};
  bool first = true;
  auto add = [&](const char* name) {
    j += (first ? "" : ",") + Quote(name) + ":" + Text(GetVariable(name));
    first = false;
  };
  for (const char* n : names) add(n);
  // DumpNames lists further variables to show, separated by "|".
  if (const char* extra = GetVariable("DumpNames")) {
    std::string list = extra;
    for (size_t start = 0; start <= list.size();) {
      size_t bar = list.find('|', start);
      if (bar == std::string::npos) bar = list.size();
      std::string name = list.substr(start, bar - start);
      if (!name.empty()) add(name.c_str());
      start = bar + 1;
    }
  }
  for (uint32_t i = 0; ManifestVariables() && i < vec_count(ManifestVariables()); i++) {
    add(vec_at<char>(ManifestVariables(), i));
  }
  for (uint32_t i = 0; Resources() && i < vec_count(Resources()); i++) {
    const char* variable = vec_at<Resource>(Resources(), i)->variable;
    if (variable && strcmp(variable, "SETUP") != 0) add(variable);
  }
  j += "},\"manifest_variables\":" + Strings(ManifestVariables());
  j += ",\"excluded\":" + Strings(ExcludedComponents());
  j += ",\"resources\":" + List(Resources(), [](void* p) {
    auto* r = static_cast<Resource*>(p);
    return "{\"file\":" + Text(r->file_name) + ",\"source\":" + Text(r->source_path) +
           ",\"variable\":" + Text(r->variable) + ",\"size\":" + std::to_string(r->size) + "}";
  });
  j += ",\"features\":" + List(FeatureList(), [](void* p) {
    auto* f = static_cast<Feature*>(p);
    return "{\"name\":" + Quote(f->name) + ",\"description\":" + Quote(f->description) +
           ",\"error_text\":" + Quote(f->error_text) + ",\"present\":" + Flag(f->present) +
           ",\"available\":" + Flag(f->available) + ",\"outdated\":" + Flag(f->outdated) +
           ",\"registry_key\":" + Quote(f->registry_key) + ",\"class_key\":" + Quote(f->class_key) +
           ",\"min_version\":" + Quote(f->min_version) + ",\"uninstall\":" + Quote(f->uninstall_command) +
           ",\"installer_size\":" + std::to_string(f->installer_size) +
           ",\"prerequisites\":" + List(f->prerequisites, [](void* q) { return Quote(static_cast<Feature*>(q)->name); }) +
           ",\"installers\":" + List(f->installers, [](void* q) {
             auto* in = static_cast<Installer*>(q);
             return "{\"source\":" + Quote(in->source) + ",\"alternates\":" + Strings(in->alternates) +
                    ",\"arguments\":" + Quote(in->arguments) + "}";
           }) +
           ",\"folders\":" + List(f->folders, [](void* q) {
             auto* d = static_cast<Folder*>(q);
             return "{\"name\":" + Quote(d->name) + ",\"files\":" + List(d->files, [](void* r) {
                      auto* e = static_cast<FileEntry*>(r);
                      return "[" + Quote(e->name) + "," + std::to_string(e->size) + "]";
                    }) + "}";
           }) + "}";
  });
  j += ",\"components\":" + List(ComponentList(), [](void* p) {
    auto* c = static_cast<Component*>(p);
    return "{\"name\":" + Quote(c->name) + ",\"description\":" + Quote(c->description) +
           ",\"selected\":" + Flag(c->selected) + ",\"required\":" + Flag(c->required) +
           ",\"available\":" + Flag(c->available) + ",\"java\":" + Flag(c->needs_java) +
           ",\"features\":" + List(c->features, [](void* q) { return Quote(static_cast<Feature*>(q)->name); }) +
           ",\"alternates\":" + Strings(c->alternates) + "}";
  });
  j += ",\"shortcuts\":" + List(Shortcuts(), [](void* p) {
    auto* s = static_cast<Shortcut*>(p);
    return "[" + Quote(s->name) + "," + Quote(s->target) + "," + Quote(s->arguments) + "," + Quote(s->icon) + "]";
  });
  j += ",\"registry\":" + List(RegistryEntries(), [](void* p) {
    auto* r = static_cast<RegistryEntry*>(p);
    return "[" + std::to_string(r->root) + "," + Quote(r->key) + "," + Quote(r->value_name) + "," +
           (r->is_string ? Quote(r->text) : std::to_string(r->dword)) + "]";
  });
  j += ",\"installed_files\":" + Strings(InstalledFiles());
  j += ",\"created_folders\":" + Strings(CreatedFolders());
  j += ",\"temp_files\":" + Strings(TempFiles());
  return j + "}";
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR command_line, int) {
  LeaveProgramFolder();
  ReadCommandLine(command_line);
  // The installer reports it once its log is open; this probe keeps none.
  if (const int error = CommandLineError()) FatalCode(error);
  OpenInstallerArchive();
  const char* out = GetVariable("DumpTo");
  if (!out) return 2;
  std::string json = Dump();
  FILE* f = fopen(out, "wb");
  if (!f) return 3;
  fwrite(json.data(), 1, json.size(), f);
  fclose(f);
  // With KeepTemp the test looks at the extracted files and removes them itself.
  if (!IsTrue("KeepTemp")) DeleteTemporaryFiles();
  return 0;
}
