#include "wininst/install/work.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "common/compat.h"
#include "common/osdep.h"
#include "common/vector.h"
#include "wininst/core/folders.h"
#include "wininst/core/messages.h"
#include "wininst/core/paths.h"
#include "wininst/core/runlog.h"
#include "wininst/core/runmode.h"
#include "wininst/core/variables.h"
#include "wininst/install/cleanup_script.h"
#include "wininst/install/engine.h"
#include "wininst/install/installed.h"
#include "wininst/install/links.h"
#include "wininst/install/manifest.h"
#include "wininst/install/placement.h"
#include "wininst/install/registration.h"
#include "wininst/install/removal.h"
#include "wininst/install/shortcuts.h"
#include "wininst/install/transaction.h"

namespace {

class Work final : public RunOwner {
 public:
  Work() { SetRunOwner(this); }
  ~Work() { SetRunOwner(nullptr); }
  Work(const Work&) = delete;
  Work& operator=(const Work&) = delete;

  void Install();
  void Repair();
  void Remove();
  void Abandon() override { transaction_.Abandon(); }

 private:
  void RemoveLeftovers(const std::vector<std::string>& files, const std::vector<std::string>& folders);
  Transaction transaction_;
};

// The paths of a list, sorted (case aside) once: each look is a search, not
// a pass over all of them (an installation of many files over a previous one
// looks up every one of its files).
class SortedPaths {
 public:
  explicit SortedPaths(Vec* list)
      : count_(vec_count(list)), paths_(static_cast<const char**>(xmalloc(count_ * sizeof(const char*) + 1))) {
    for (uint32_t i = 0; i < count_; i++) paths_[i] = vec_at<char>(list, i);
    qsort(paths_, count_, sizeof(const char*), Compare);
  }
  ~SortedPaths() { free(paths_); }
  SortedPaths(const SortedPaths&) = delete;
  SortedPaths& operator=(const SortedPaths&) = delete;
  bool Holds(const std::string& path) const {
    const char* key = path.c_str();
    return bsearch(&key, paths_, count_, sizeof(const char*), Compare) != nullptr;
  }

 private:
  static int Compare(const void* a, const void* b) {
    return _stricmp(*static_cast<const char* const*>(a), *static_cast<const char* const*>(b));
  }
  uint32_t count_;
  const char** paths_;
};

// Whether `path` (a file of a previous installation) is a link file whose
// target lies in this installation's folder.
bool ShortcutIntoInstallation(const std::string& path) {
  const size_t n = path.size();
  if (n < 4 || _stricmp(path.c_str() + n - 4, ".lnk") != 0) return false;
  ComScope com;
  return PathBelow(ShellLinkTarget(path.c_str()), InstallFolder(""));
}

// The components as the run takes them (by the names --with- and --no-
// take), for whoever reads the log of an installation nobody watched.
void LogChosenComponents() {
  for (uint32_t i = 0; ComponentList() && i < vec_count(ComponentList()); i++) {
    const Component* c = vec_at<Component>(ComponentList(), i);
    LogLine("Component %s: %s", c->name.c_str(), c->selected ? "chosen" : "not chosen");
  }
}

void Work::Install() {
  LogChosenComponents();
  CheckInstallation();
  // What an installation over a previous one in its folder no longer holds
  // goes with it, as the previous one's removal would have taken it.
  std::vector<std::string> old_files, old_folders;
  PreviousInstallation(old_files, old_folders);
  transaction_.Begin(Transaction::Kind::kInstall);
  InstallFeatures(transaction_);
  // Another version registered in this folder was just overwritten.
  ForgetOtherVersionsIn(transaction_, InstallFolder(""));
  RegisterProduct(transaction_);
  CreateShortcuts(transaction_);
  RemoveLeftovers(old_files, old_folders);
  WriteInstalledManifest(transaction_);
  transaction_.Commit();
  KeepAtRestart(InstallFolder(""), InstalledFiles());
}

void Work::RemoveLeftovers(const std::vector<std::string>& files, const std::vector<std::string>& folders) {
  const std::vector<std::string> places = InstallationPlaces();
  const std::string manifest = ResourcesFolder() + "\\manifest";
  std::vector<std::string> gone;
  const SortedPaths installed(InstalledFiles()), created(CreatedFolders());
  for (const std::string& path : files) {
    if (installed.Holds(path) || _stricmp(path.c_str(), manifest.c_str()) == 0) continue;
    // Only what lies in this installation's places, never through a link.
    if (!is_plain_path(path.c_str()) || !InPlaces(path, places) || !LinkOnTheWay(ParentOf(path), places).empty() ||
        is_link(path.c_str()) || !file_exists(path.c_str())) {
      continue;
    }
    if (PathBelow(path, VariableOr("ShortcutFolder")) && !ShortcutIntoInstallation(path)) continue;
    gone.push_back(path);
  }
  if (!gone.empty()) {
    Placement placement(transaction_, gone, false);
    for (const std::string& path : gone) {
      if (!placement.MakeWay(path)) Fatal("Can't remove file: %s", path.c_str());
    }
  }
  ReleaseFolders();
  for (const std::string& folder : folders) {
    if (!created.Holds(folder) && InPlaces(folder, places) && is_folder(folder.c_str()) &&
        !is_link(folder.c_str())) {
      transaction_.FolderRemoved(folder);
    }
  }
}

void Work::Repair() {
  transaction_.Begin(Transaction::Kind::kRepair);
  // A repair writes the registry entries and shortcuts again; it copies no files.
  RegisterProduct(transaction_);
  CreateShortcuts(transaction_);
  transaction_.Commit();
}

void Work::Remove() {
  transaction_.Begin(Transaction::Kind::kRemove);
  if (RemoveInstallation(transaction_)) {
    transaction_.Commit();
  } else {
    transaction_.Abandon();
  }
}

}  // namespace

void DoRunWork() {
  Work work;
  const RunMode& mode = Mode();
  if (mode.install) {
    work.Install();
  } else if (mode.repair) {
    work.Repair();
  }
  if (mode.remove) work.Remove();
  // The folders the work held while it wrote in them are let go.
  ReleaseFolders();
}
