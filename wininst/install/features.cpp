#include "wininst/install/features.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/messages.h"
#include "common/osdep.h"
#include "common/registry.h"
#include "common/vector.h"
#include "wininst/core/entry.h"
#include "wininst/core/paths.h"
#include "wininst/core/runlog.h"
#include "wininst/core/variables.h"
#include "wininst/install/archive.h"
#include "wininst/install/manifest.h"


namespace {

// The allocation unit of the target volume in bytes; 0 until measured.
uint32_t cluster_size;
constexpr uint32_t kFileAllowance = 8192;  // counted for each file on top of its size

bool SourceFound(const char* source) {
  return IsDownload(source) || GetVariable(source) ||
         file_exists(FromProgramFolder(source).c_str());
}

uint64_t RoundUp(uint64_t size, uint64_t unit) {
  return (size + unit - 1) / unit * unit;
}

Component* ComponentAt(uint32_t index) {
  return ComponentList() ? vec_at<Component>(ComponentList(), index) : nullptr;
}

template <typename Pred>
bool AnyFeature(const Component* c, Pred pred) {
  for (uint32_t i = 0; i < vec_count(c->features); i++) {
    if (pred(vec_at<Feature>(c->features, i))) return true;
  }
  return false;
}

}  // namespace

bool IsDownload(const char* source) {
  return HasPrefix(source, "http://") || HasPrefix(source, "ftp://");
}

const char* ResolveInstallerSource(const Installer* installer) {
  if (SourceFound(installer->source.c_str())) return installer->source.c_str();
  for (uint32_t i = 0; i < vec_count(installer->alternates); i++) {
    const char* alternate = vec_at<char>(installer->alternates, i);
    if (SourceFound(alternate)) return alternate;
  }
  return nullptr;
}

bool EvaluateFeature(Feature* f) {
  if (f->present) return true;

  if (!f->registry_key.empty()) {
    const char* key = f->registry_key.c_str();
    std::string location;
    if (reg_read(kRegLocalMachine, key, "InstallLocation", location) == 0) {
      // Uninstall entries hold the folder bare or, as this installer writes
      // it, in double quotes; a trailing backslash is allowed. Cut in place:
      // the folder's text ends at the first NUL.
      char* folder = location.data();
      size_t length = location.size();
      if (length >= 2 && folder[0] == '"' && folder[length - 1] == '"') {
        folder[length - 1] = '\0';
        folder++;
        length -= 2;
      }
      if (length > 0 && folder[length - 1] == '\\') folder[length - 1] = '\0';
      if (is_folder(folder)) {
        reg_read(kRegLocalMachine, key, "UninstallString", f->uninstall_command);
        uint32_t version = 0;
        reg_read(kRegLocalMachine, key, "Version", version);
        uint32_t installed = version >> 16;
        if (!f->min_version.empty()) {
          const char* m = f->min_version.c_str();
          const char* dot = strchr(m, '.');
          uint32_t required = static_cast<uint32_t>(atoi(m)) * 256 + (dot ? atoi(dot + 1) : 0);
          if (installed >= required) {
            f->present = true;
          } else if (!f->uninstall_command.empty()) {
            f->outdated = true;
          }
        } else {
          f->present = true;
        }
      }
    }
  }

  if (!f->class_key.empty()) {
    std::string value;
    if (reg_read(kRegClassesRoot, f->class_key.c_str(), "", value) == 0 && !value.empty()) {
      f->present = true;
    }
  }

  f->available = true;
  if (!f->present && vec_count(f->folders) == 0) {
    if (vec_count(f->installers) == 0) f->available = false;
    for (uint32_t i = 0; i < vec_count(f->installers); i++) {
      if (!ResolveInstallerSource(vec_at<Installer>(f->installers, i))) {
        f->available = false;
        break;
      }
    }
  }
  return f->present;
}

namespace {

// What --with- names is selected, available or not: a missing installer is
// then asked for as for any selected component. A name of --with- or --no-
// that no component has is named in the log.
void ChooseNamedComponents() {
  Vec* chosen = SelectedComponents();
  for (uint32_t i = 0; i < vec_count(chosen); i++) {
    const char* name = vec_at<char>(chosen, i);
    Component* named = nullptr;
    for (uint32_t j = 0; ComponentList() && j < vec_count(ComponentList()) && !named; j++) {
      Component* c = vec_at<Component>(ComponentList(), j);
      if (_stricmp(c->name.c_str(), name) == 0) named = c;
    }
    if (named) {
      named->selected = true;
    } else {
      LogLine("%s%s: the installer has no component of that name.", "--with-", name);
    }
  }
  Vec* left_out = ExcludedComponents();
  for (uint32_t i = 0; i < vec_count(left_out); i++) {
    const char* name = vec_at<char>(left_out, i);
    // "--no-sandrift" also turns the IDE's offer off, whatever the components.
    bool known = _stricmp(name, "SANDRIFT") == 0;
    for (const std::string& component : ComponentNames()) {
      known = known || _stricmp(component.c_str(), name) == 0;
    }
    if (!known) LogLine("%s%s: the installer has no component of that name.", "--no-", name);
  }
}

}  // namespace

void EvaluateFeatures() {
  if (FeatureList()) {
    for (uint32_t i = 0; i < vec_count(FeatureList()); i++) {
      EvaluateFeature(vec_at<Feature>(FeatureList(), i));
    }
  }
  if (!FeatureList() || !ComponentList()) {
    ChooseNamedComponents();
    return;
  }

  for (uint32_t i = 0; i < vec_count(ComponentList()); i++) {
    Component* c = vec_at<Component>(ComponentList(), i);
    c->available = true;
    for (uint32_t j = 0; j < vec_count(c->features); j++) {
      if (vec_at<Feature>(c->features, j)->available) continue;
      c->available = false;
      if (!c->required) c->selected = false;
    }
  }

  for (uint32_t i = 0; i < vec_count(ComponentList()); i++) {
    Component* c = vec_at<Component>(ComponentList(), i);
    if (!c->required || c->available) continue;
    for (uint32_t j = 0; j < vec_count(c->alternates); j++) {
      Component* alternate = FindComponent(vec_at<char>(c->alternates, j));
      if (!alternate->available) continue;
      c->required = c->selected = false;
      alternate->required = alternate->selected = true;
      break;
    }
  }

  ChooseNamedComponents();
}

void SelectFeaturesFromComponents() {
  if (!FeatureList()) return;
  for (uint32_t i = 0; i < vec_count(FeatureList()); i++)
    vec_at<Feature>(FeatureList(), i)->selected = false;
  if (!ComponentList()) return;
  for (uint32_t i = 0; i < vec_count(ComponentList()); i++) {
    Component* c = vec_at<Component>(ComponentList(), i);
    if (!c->selected) continue;
    for (uint32_t j = 0; j < vec_count(c->features); j++)
      vec_at<Feature>(c->features, j)->selected = true;
  }
}

namespace {

// What the selection makes on disk: each file's size plus the allowance (the
// bar's measure), and each file's size rounded up to whole clusters.
struct Estimate {
  uint64_t with_allowance = 0;
  uint64_t on_disk = 0;
};

Estimate EstimateSelection() {
  Estimate e;
  if (!FeatureList() || !ComponentList()) return e;
  const uint64_t cluster = cluster_size ? cluster_size : 4096;
  auto add = [&](uint32_t size) {
    e.with_allowance += size + kFileAllowance;
    e.on_disk += RoundUp(size, cluster);
  };
  SelectFeaturesFromComponents();
  for (uint32_t i = 0; i < vec_count(FeatureList()); i++) {
    Feature* f = vec_at<Feature>(FeatureList(), i);
    if (!f->selected) continue;
    if (vec_count(f->folders) > 0) {
      for (uint32_t j = 0; j < vec_count(f->folders); j++) {
        Folder* folder = vec_at<Folder>(f->folders, j);
        for (uint32_t k = 0; k < vec_count(folder->files); k++)
          add(vec_at<FileEntry>(folder->files, k)->size);
      }
    } else if (!f->present && !f->outdated) {
      e.on_disk += f->installer_size;
    }
  }
  for (uint32_t i = 0; i < vec_count(Resources()); i++) add(vec_at<Resource>(Resources(), i)->size);
  return e;
}

}  // namespace

uint32_t RequiredSpaceKB() {
  if (!FeatureList() || !ComponentList()) return 0;
  return static_cast<uint32_t>((EstimateSelection().on_disk + 1023) / 1024);
}

uint64_t InstallationBytes() {
  return EstimateSelection().with_allowance;
}

size_t LongestInstalledPath() {
  size_t longest = 0;
  SelectFeaturesFromComponents();
  for (uint32_t i = 0; FeatureList() && i < vec_count(FeatureList()); i++) {
    Feature* f = vec_at<Feature>(FeatureList(), i);
    if (!f->selected) continue;
    for (uint32_t j = 0; j < vec_count(f->folders); j++) {
      Folder* folder = vec_at<Folder>(f->folders, j);
      for (uint32_t k = 0; k < vec_count(folder->files); k++) {
        const size_t name = vec_at<FileEntry>(folder->files, k)->name.size();
        longest = std::max(longest, 1 + folder->name.size() + (folder->name.empty() ? 0 : 1) + name);
      }
    }
  }
  // The resources folder holds the installed manifest beside the resources.
  size_t resource = strlen("manifest");
  for (uint32_t i = 0; i < vec_count(Resources()); i++)
    resource = std::max(resource, strlen(vec_at<Resource>(Resources(), i)->file_name));
  return std::max(longest, strlen("\\resources\\") + resource);
}

bool FolderFitsPaths(const char* folder, bool refuse) {
  const size_t longest = strlen(folder) + LongestInstalledPath();
  if (longest < MAX_PATH) return true;
  const char* text =
      "The folder %s is too long: in it, the installation's longest path would have %u "
      "characters, more than Windows allows (259).\nPlease choose a shorter folder.";
  if (!refuse) Fatal(text, folder, static_cast<unsigned>(longest));
  ShowError("Bad installation folder", text, folder, static_cast<unsigned>(longest));
  return false;
}

uint32_t ClusterSize() {
  return cluster_size;
}

uint32_t FreeSpaceMB(const char* root) {
  DWORD sectors_per_cluster, bytes_per_sector, free_clusters, clusters;
  if (GetDiskFreeSpaceA(root, &sectors_per_cluster, &bytes_per_sector, &free_clusters, &clusters)) {
    cluster_size = sectors_per_cluster * bytes_per_sector;
  } else {
    cluster_size = 4096;
  }
  using FreeSpaceEx = BOOL(WINAPI*)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
  auto ex = reinterpret_cast<FreeSpaceEx>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetDiskFreeSpaceExA")));
  ULARGE_INTEGER available, total, free_bytes;
  if (!ex || !ex(root, &available, &total, &free_bytes)) return 0;
  return static_cast<uint32_t>(available.QuadPart >> 20);
}

const char* ComponentDescription(uint32_t index) {
  Component* c = ComponentAt(index);
  return c && !c->description.empty() ? c->description.c_str() : nullptr;
}

bool ComponentHasContent(uint32_t index) {
  Component* c = ComponentAt(index);
  return c && AnyFeature(c, [](Feature* f) {
           return vec_count(f->folders) > 0 || vec_count(f->installers) > 0;
         });
}

bool ComponentInstalled(uint32_t index) {
  Component* c = ComponentAt(index);
  return c && !AnyFeature(c, [](Feature* f) { return !f->present; });
}

bool ComponentNeedsDownload(uint32_t index) {
  Component* c = ComponentAt(index);
  return c && AnyFeature(c, [](Feature* f) {
           for (uint32_t i = 0; i < vec_count(f->installers); i++) {
             const char* source = ResolveInstallerSource(vec_at<Installer>(f->installers, i));
             if (source && IsDownload(source)) return true;
           }
           return false;
         });
}

int ComponentState(uint32_t index) {
  Component* c = ComponentAt(index);
  if (!c) return 0;
  return c->required ? 2 : c->selected ? 1 : 0;
}

bool ComponentAvailable(uint32_t index) {
  Component* c = ComponentAt(index);
  return c && c->available;
}

void SetComponentSelected(uint32_t index, bool checked) {
  if (Component* c = ComponentAt(index)) c->selected = c->required || checked;
}
