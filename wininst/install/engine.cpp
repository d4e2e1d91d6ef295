#include "wininst/install/engine.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

#include "common/alloc.h"
#include "common/compat.h"
#include "common/osdep.h"
#include "common/vector.h"
#include "common/messages.h"
#include "wininst/core/folders.h"
#include "wininst/core/product.h"
#include "wininst/core/paths.h"
#include "wininst/core/progress.h"
#include "wininst/core/rights.h"
#include "wininst/core/variables.h"
#include "wininst/install/archive.h"
#include "wininst/install/drivers.h"
#include "wininst/install/features.h"
#include "wininst/install/files.h"
#include "wininst/install/installed.h"
#include "wininst/install/installers.h"
#include "wininst/install/manifest.h"
#include "wininst/install/output.h"
#include "wininst/install/placement.h"
#include "wininst/install/registration.h"
#include "wininst/install/transaction.h"

namespace {

constexpr int kPathLimit = 2048;

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
  if (!ProgressShown()) return;
  char line[kPathLimit];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  ReportProgress(Progress().Position(), line);
}

// Reads and drops a feature's records, so that the stream stays in step for
// the features after it.
void DiscardRecords(Feature* f) {
  for (uint32_t i = 0; i < vec_count(f->folders); i++) {
    Folder* folder = vec_at<Folder>(f->folders, i);
    for (uint32_t j = 0; j < vec_count(folder->files); j++) {
      ExtractRecord(nullptr, vec_at<FileEntry>(folder->files, j)->size);
    }
  }
}

void InstallFolders(Transaction& t, Feature* f) {
  const char* inst_dir = InstallFolder();
  // Every folder and file of the feature is named in the journal before the
  // first is made, and reaches the disk in one write: files to be made in a
  // folder the run makes are not looked for.
  const uint32_t count = vec_count(f->folders);
  std::vector<std::string> folders(count), missing;
  std::vector<std::vector<std::string>> paths(count);
  for (uint32_t i = 0; i < count; i++) {
    Folder* folder = vec_at<Folder>(f->folders, i);
    // A folder line of "/" alone names the installation folder itself.
    folders[i] = folder->name.empty() ? std::string(inst_dir) : std::string(inst_dir) + "\\" + folder->name;
    for (const std::string& m : MissingFolders(folders[i].c_str())) {
      if (std::find(missing.begin(), missing.end(), m) == missing.end()) missing.push_back(m);
    }
    for (uint32_t j = 0; j < vec_count(folder->files); j++) {
      paths[i].push_back(folders[i] + "\\" + vec_at<FileEntry>(folder->files, j)->name);
    }
  }
  t.FoldersToMake(missing);
  std::vector<Placement> placements;
  placements.reserve(count);
  for (uint32_t i = 0; i < count; i++) {
    const bool made = std::find(missing.begin(), missing.end(), SystemForm(folders[i].c_str())) != missing.end();
    placements.emplace_back(t, paths[i], made);
  }
  for (uint32_t i = 0; i < count; i++) {
    Folder* folder = vec_at<Folder>(f->folders, i);
    Log("    Creating folder %s", folder->name.c_str());
    CreateFolderTree(t, folders[i].c_str(), true);
    // The plug-in's folder holds what the registration loads as administrator.
    if (IsTrue("InstallTESSERAPlugin") && _stricmp(folder->name.c_str(), "bin") == 0) {
      SecureInstallationFolder(folders[i].c_str());
    }
    for (uint32_t j = 0; j < vec_count(folder->files); j++) {
      FileEntry* file = vec_at<FileEntry>(folder->files, j);
      Log("        Copying file %s", file->name.c_str());
      ExtractRecord(paths[i][j].c_str(), file->size, &placements[i]);
      RecordInstalledFile(paths[i][j].c_str());
    }
  }
}

void CopyResources(Transaction& t) {
  Log("Copying resources");
  const std::string folder = ResourcesFolder();
  // It holds what a repair or removal runs as administrator: only
  // administrators may change it, even where it was there before.
  if (!CreateFolderTree(t, folder.c_str())) SecureInstallationFolder(folder.c_str());
  std::vector<std::string> paths;
  for (uint32_t i = 0; i < vec_count(Resources()); i++) {
    paths.push_back(folder + "\\" + vec_at<Resource>(Resources(), i)->file_name);
  }
  // A later run of the installed copy finds it whole, the old one or the new.
  Placement placement(t, paths, false, true);
  for (uint32_t i = 0; i < vec_count(Resources()); i++) {
    Resource* r = vec_at<Resource>(Resources(), i);
    Log("    Copying file %s", r->file_name);
    char* destination = xstrdup(paths[i].c_str());
    // The installed copy of the program is taken from the file the run
    // checked, never from whatever lies at its path now.
    FILE* program = r->from_program ? OpenProgramFile() : nullptr;
    if (r->from_program && !program) Fatal("Can't open file: %s\n%s", r->source_path, strerror(errno));
    CopyFileInto(placement, r->source_path, destination, r->size, program,
                 r->from_program ? RestoreStubHeaders : nullptr);
    if (r->variable) {
      SetVariable(r->variable, destination);
      r->file_name = destination;
    } else {
      free(destination);
    }
  }
}

}  // namespace

bool CheckPrerequisites(Feature* f) {
  char missing[4096] = "";
  size_t used = 0;
  bool all_present = true;
  for (uint32_t i = 0; i < vec_count(f->prerequisites); i++) {
    Feature* p = vec_at<Feature>(f->prerequisites, i);
    if (p->present) continue;
    all_present = false;
    int n = snprintf(nullptr, 0, "  %s\n", p->description.c_str());
    // A line that does not fit is left out of the text but still counts.
    if (used + static_cast<size_t>(n) < sizeof missing) {
      snprintf(missing + used, sizeof missing - used, "  %s\n", p->description.c_str());
      used += static_cast<size_t>(n);
    }
  }
  if (all_present) return true;
  if (AskYesNo("Prerequisite missing",
               "The feature:\n   %s\nhas these missing prerequisites:\n%s\nand cannot be "
               "installed. Do you want to continue anyway?",
               f->description.c_str(), missing)) {
    return false;
  }
  FatalText(
      "Installation terminated - suggest you install the prerequisites\nthen retry this "
      "installation");
}

namespace {

// Every file closed so far is on the disk; a write that failed ends the run.
void SettleFiles() {
  std::string failed;
  if (!SettleOutput(&failed)) Fatal("Write error on %s", failed.c_str());
}

}  // namespace

void CheckInstallation() {
  const char* inst_dir = InstallFolder("");
  FolderFitsPaths(inst_dir, false);
  // An installation of this very version elsewhere would be left behind,
  // registered nowhere and removable by nobody.
  std::string other;
  if (!RemoverOfInstallationElsewhere(inst_dir, &other).empty()) {
    Fatal("%s version %s is installed already in %s.\nRemove that installation first, or install "
          "into its folder.",
          VariableOr("Description", VariableOr("Product")), VariableOr("FullVersion"), other.c_str());
  }
}

void InstallFeatures(Transaction& t) {
  RecordFoundFolders(file_exists((ResourcesFolder() + "\\manifest").c_str()));
  WriteInstallLocation(t);
  if (!ComponentList() || !FeatureList()) FatalText("no files to copy");
  SelectFeaturesFromComponents();
  // The bar's whole is planned once, from the selection now made.
  Progress().Plan(InstallationBytes());
  // The files are written while the next ones are inflated.
  WriteInBackground(true);

  for (uint32_t i = 0; i < vec_count(FeatureList()); i++) {
    Feature* f = vec_at<Feature>(FeatureList(), i);
    if (f->present) {
      // Installed already: never again. Its records, if it has any, are
      // read past so that the features after it get their own bytes.
      DiscardRecords(f);
      continue;
    }
    if (f->selected && !CheckPrerequisites(f)) f->selected = false;
    bool has_installers = vec_count(f->installers) > 0;
    bool has_folders = vec_count(f->folders) > 0;
    if (!has_installers && !has_folders) {
      if (f->selected && !AskYesNo("Feature not installed",
                                   "%s is not installed.\n%s\nDo you want to continue anyway?",
                                   f->description.c_str(), f->error_text.c_str())) {
        Fatal("Installation terminated - please install %s\nthen retry this installation",
              f->description.c_str());
      }
      continue;
    }
    if (!f->selected) {
      DiscardRecords(f);
      continue;
    }
    Log(" Installing %s", f->description.c_str());
    if (has_installers) {
      // What runs now finds every file installed so far.
      SettleFiles();
      RunFeatureInstallers(f);
    }
    InstallFolders(t, f);
    if (!f->driver_inf.empty()) {
      Log("        Installing driver %s", f->driver_inf.c_str());
      SettleFiles();
      InstallDriver(f);
    }
  }
  CloseArchive();
  // The resources take their places once whole: written here, not behind.
  SettleFiles();
  WriteInBackground(false);
  CopyResources(t);
}
