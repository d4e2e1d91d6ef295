// The installation folder and components page: the components to install,
// the folder, the space they need and the space free there; on Next, the
// checks of the folder and the removal of a previous installation in it.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

#include "common/alloc.h"
#include "common/osdep.h"
#include "common/vector.h"
#include "wininst/install/ide.h"
#include "wininst/core/folders.h"
#include "wininst/core/messages.h"
#include "wininst/core/paths.h"
#include "wininst/core/page.h"
#include "wininst/core/product.h"
#include "wininst/core/progress.h"
#include "wininst/core/runmode.h"
#include "wininst/core/variables.h"
#include "wininst/install/features.h"
#include "wininst/install/installers.h"
#include "wininst/install/journal.h"
#include "wininst/install/shortcuts.h"
#include "wininst/install/transaction.h"
#include "wininst/pages/pages.h"

namespace {

constexpr int kFolderBox = 201;
constexpr int kBrowseButton = 202;
constexpr int kFirstComponentBox = 250;
constexpr int kLastPageId = 260;
constexpr int kFolderTextLimit = 2048;
constexpr DWORD kCheckStyle = WS_TABSTOP | BS_AUTOCHECKBOX;
constexpr const char* kBadFolder = "Bad installation folder";
constexpr const char* kPrevious = "Previous Installation";
// How long the page waits for a previous installation's clean-up (its
// removal script) once its remover has ended.
constexpr DWORD kCleanUpWaitMs = 15000;

// Made on the first entry and kept for the run.
struct InstDir {
  bool made = false;
  HWND group = nullptr;
  HWND folder = nullptr;
  HWND browse = nullptr;
  HWND required = nullptr;
  HWND available = nullptr;
  Vec* boxes = nullptr;  // HWND of the component boxes, in the order made
  int rows = 0;          // components in the list when two or more, else 0
  int downloads = 0;     // boxes of components that are downloaded
} page;

std::string FolderText() {
  char text[kFolderTextLimit] = "";
  GetWindowTextA(page.folder, text, sizeof text);
  return text;
}

// The box's label: installed, to be downloaded, or the description alone.
std::string Label(uint32_t index) {
  const std::string description = ComponentDescription(index);
  if (ComponentInstalled(index)) return description + " (installed)";
  if (ComponentNeedsDownload(index)) {
    page.downloads++;
    return "** " + description;
  }
  return description;
}

void MakeComponentBoxes() {
  int n = 0;
  while (ComponentDescription(static_cast<uint32_t>(n))) n++;
  if (n < 2) return;
  page.rows = n;
  for (uint32_t i = 0; i < static_cast<uint32_t>(n); i++) {
    if (!ComponentHasContent(i)) continue;
    HWND box = MakeControl("BUTTON", Label(i).c_str(), kCheckStyle,
                           kFirstComponentBox + static_cast<int>(i));
    SendMessageA(box, BM_SETCHECK, ComponentState(i) != 0 ? BST_CHECKED : BST_UNCHECKED, 0);
    EnableWindow(box, ComponentAvailable(i) && ComponentState(i) != 2);
    vec_add(page.boxes, box);
  }
}

void MakeControls() {
  page.boxes = vec_new();
  page.group = MakeControl("STATIC", nullptr, WS_BORDER, 0);
  page.required = MakeControl("EDIT", "", ES_READONLY, 0);
  page.available = MakeControl("EDIT", "", ES_READONLY, 0);
  PlaceControl(page.required, 30, 225, 170, 10, ES_READONLY);
  PlaceControl(page.available, 205, 225, 165, 10, ES_READONLY);
  MakeComponentBoxes();
  const int n = page.rows;
  PlaceControl(page.group, 25, 205 - 15 * n, 350, 15 * n + 35, WS_BORDER);
  for (uint32_t k = 0; k < vec_count(page.boxes); k++) {
    PlaceControl(vec_at<HWND__>(page.boxes, k), 30, 210 - 15 * n + 15 * static_cast<int>(k), 340,
                 10, kCheckStyle);
  }
  // A folder longer than the box scrolls in it. The button beside it keeps
  // within the frame's row, between the boxes above and the space line.
  page.folder = MakeControl("EDIT", InstallFolder(""), WS_TABSTOP | ES_AUTOHSCROLL, kFolderBox);
  PlaceControl(page.folder, 30, 210, 285, 10, WS_TABSTOP);
  page.browse = MakeControl("BUTTON", "Browse...", WS_TABSTOP | BS_PUSHBUTTON, kBrowseButton);
  PlaceControl(page.browse, 320, 208, 50, 14, WS_TABSTOP);
  page.made = true;
}

const char* Instructions() {
  if (page.rows < 2) {
    return "Please choose the folder to install into, then click Next to complete the "
           "installation.";
  }
  if (page.downloads > 0) {
    return "Please select components to install, and choose the installation folder, then click "
           "Next to complete the installation.\n\nComponents marked with ** will be downloaded "
           "from the website.";
  }
  return "Please select components to install, and choose the installation folder, then click "
         "Next to complete the installation.";
}

// The free space of the folder's drive (of the whole text, when it names no
// drive), then the space the selection needs there.
void RefreshSpace() {
  std::string root = FolderText();
  if (root.size() > 1 && root[1] == ':') root = root.substr(0, 2) + "\\";
  char text[64];
  snprintf(text, sizeof text, "Space available: %lu MB",
           static_cast<unsigned long>(FreeSpaceMB(root.c_str())));
  SetWindowTextA(page.available, text);
  snprintf(text, sizeof text, "Space required: %s MB",
           FixedPoint(RequiredSpaceKB(), 10, 1).c_str());
  SetWindowTextA(page.required, text);
}

void ShowControls(bool show) {
  const int how = show ? SW_SHOW : SW_HIDE;
  for (HWND control : {page.group, page.folder, page.browse, page.required, page.available}) {
    ShowWindow(control, how);
  }
  for (uint32_t k = 0; k < vec_count(page.boxes); k++)
    ShowWindow(vec_at<HWND__>(page.boxes, k), how);
}

LRESULT Enter() {
  if (Mode().headless || !Mode().install) return kPageSkip;
  if (!page.made) MakeControls();
  SetPageText(Instructions());
  RefreshSpace();
  ShowControls(true);
  return kPageShown;
}

void ReadBoxes() {
  for (uint32_t k = 0; k < vec_count(page.boxes); k++) {
    HWND box = vec_at<HWND__>(page.boxes, k);
    SetComponentSelected(static_cast<uint32_t>(GetDlgCtrlID(box) - kFirstComponentBox),
                         IsChecked(box));
  }
}

// The picker starts at the nearest folder that exists on the way to `data`.
int CALLBACK BrowseStarted(HWND picker, UINT message, LPARAM, LPARAM data) {
  if (message == BFFM_INITIALIZED) SendMessageA(picker, BFFM_SETSELECTIONA, TRUE, data);
  return 0;
}

// The system's folder picker; the folder chosen, as it is, goes into the
// folder box (and is checked on Next like a typed one).
void Browse() {
  char start[kFolderTextLimit] = "";
  GetWindowTextA(page.folder, start, sizeof start);
  for (char* slash; !is_folder(start) && (slash = strrchr(start, '\\'));) *slash = '\0';
  BROWSEINFOA info{};
  info.hwndOwner = FrameWindow();
  info.lpszTitle = "Choose the folder to install into:";
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  info.lpfn = BrowseStarted;
  info.lParam = reinterpret_cast<LPARAM>(start);
  ComScope com;
  LPITEMIDLIST chosen = SHBrowseForFolderA(&info);
  if (!chosen) return;
  char path[MAX_PATH] = "";
  const bool found = SHGetPathFromIDListA(chosen, path);
  CoTaskMemFree(chosen);
  if (!found || !path[0]) return;
  SetWindowTextA(page.folder, path);
  SetFocus(page.folder);
}

// Refuses the folder: the box says why, and the user types again.
LRESULT Refuse(const char* text) {
  ShowError(kBadFolder, "%s", text);
  SetFocus(page.folder);
  return kPageVeto;
}

LRESULT RefuseFolder(const std::string& folder, const std::string& why) {
  ShowError(kBadFolder, "The installation folder \"%s\" %s", folder.c_str(), why.c_str());
  SetFocus(page.folder);
  return kPageVeto;
}

// Runs the remover of the installation whose resources folder is given and,
// when it succeeded, waits until its clean-up (a script that runs once the
// remover has ended) has taken its program and that folder away, so that it
// cannot take them from the installation that follows. A remover that fails
// leaves the installation to go on over what is left.
void RemovePrevious(const std::string& resources) {
  const std::string setup = resources + "\\setup.exe";
  // The remover is a run of the product too: it takes the product's lock
  // while it works, and this run takes it back after it (with whatever a
  // remover that was killed left taken back first).
  ReleaseProductLock();
  const bool removed = RunAndWait(setup.c_str(), "--remove --setTrue-DoProceed");
  const DWORD start = GetTickCount();
  NestedPump pump;
  while (removed && (file_exists(setup.c_str()) || is_folder(resources.c_str())) &&
         GetTickCount() - start < kCleanUpWaitMs) {
    if (pump.Pump()) break;
    Sleep(50);
  }
  if (!TakeProductLock()) {
    Fatal("Another setup of %s has started while the previous installation was removed.\nStart this "
          "installation again once it has ended.",
          VariableOr("Description"));
  }
  RecoverProduct();
}

// Whether the space the installation needs will be free once the previous
// installation registered with the remover `setup` has gone; when not, the
// user is told and nothing is removed.
bool FitsAfterRemoval(const std::string& setup) {
  const uint32_t previous_kb = RegisteredSizeKB(setup);
  std::string root = FolderText();
  if (root.size() > 1 && root[1] == ':') root = root.substr(0, 2) + "\\";
  const uint64_t free_kb = static_cast<uint64_t>(FreeSpaceMB(root.c_str())) * 1024 + previous_kb;
  const uint32_t needed_kb = RequiredSpaceKB();
  if (needed_kb <= free_kb) return true;
  ShowError(kPrevious,
            "The installation needs %s MB, and only %s MB will be free even once the previous "
            "installation has been removed.\nNothing has been removed. Make room on the drive or choose "
            "another folder.",
            FixedPoint(needed_kb, 10, 1).c_str(), FixedPoint(free_kb, 10, 1).c_str());
  return false;
}

// The checks of a forward move; kPageVeto keeps the page. The folder
// becomes the installation folder in its canonical form.
LRESULT CheckFolder(std::string folder) {
  // Nothing would install relative to wherever the program runs.
  if (folder.empty()) {
    return Refuse("No installation folder was given.\nPlease enter the folder to install into.");
  }
  std::string why;
  const std::string canonical = CanonicalFolder(folder.c_str(), &why);
  if (canonical.empty()) return RefuseFolder(folder, why);
  folder = canonical;
  SetWindowTextA(page.folder, folder.c_str());
  if (file_exists(folder.c_str()) && !is_folder(folder.c_str())) {
    return Refuse("Already exists but is not a folder!");
  }
  if (!FolderFitsPaths(folder.c_str(), true)) {
    SetFocus(page.folder);
    return kPageVeto;
  }
  // The page, not the work, finds a folder that cannot be made or written.
  if (!TryInstallFolder(folder, &why)) return RefuseFolder(folder, why);
  // This very version installed in another folder would be left behind,
  // registered nowhere: it goes first, or the page stays.
  std::string other;
  const std::string remover = RemoverOfInstallationElsewhere(folder.c_str(), &other);
  if (!remover.empty()) {
    if (ShowBox(kPrevious,
                ("This version is installed already in:\n" + other +
                 "\nIt must be removed before it can be installed in another folder.\nDo you want "
                 "to remove it now?")
                    .c_str(),
                MB_YESNO) != IDYES) {
      return kPageVeto;
    }
    if (!FitsAfterRemoval(remover)) return kPageVeto;
    RemovePrevious(remover.substr(0, remover.rfind('\\')));
    if (!RemoverOfInstallationElsewhere(folder.c_str()).empty()) return kPageVeto;
  }
  const std::string resources = folder + "\\resources";
  if (!file_exists((resources + "\\setup.exe").c_str())) return 0;
  // The remover runs with administrator rights: only the one this computer
  // registered is run, never a program someone put in the folder.
  if (!IsRegisteredRemover(resources + "\\setup.exe")) {
    return ShowBox(kPrevious,
                   "There is an installation in that location that is not registered on this "
                   "computer; it cannot be removed first.\nIs it OK to overwrite it?",
                   MB_YESNO) == IDYES
               ? 0
               : kPageVeto;
  }
  if (ShowBox(kPrevious,
              "There is a previous installation in that location.\nDo you want to remove it "
              "(recommended)?",
              MB_YESNO) == IDYES) {
    if (!FitsAfterRemoval(resources + "\\setup.exe")) return kPageVeto;
    RemovePrevious(resources);
  } else if (ShowBox(kPrevious, "Then is it OK to overwrite the previous installation?",
                     MB_YESNO) != IDYES) {
    return kPageVeto;
  }
  return 0;
}

LRESULT Leave(bool forward) {
  if (IsTrue("InstallTESSERAPlugin")) PluginSlot();
  if (!Mode().install || Mode().headless) return 0;
  if (forward && CheckFolder(FolderText()) == kPageVeto) return kPageVeto;
  // Back keeps what is typed, as it stands, for the page's next showing.
  if (!SetInstallFolder(FolderText().c_str())) KeepTypedInstallFolder(FolderText().c_str());
  SetPageText(nullptr);
  ShowControls(false);
  return 0;
}

}  // namespace

LRESULT InstDirPage(HWND, UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case kPageEnter:
      return Enter();
    case kPageLeave:
      return Leave(wparam != 0);
    case WM_COMMAND: {
      const int id = LOWORD(wparam);
      if (page.made && id == kBrowseButton && HIWORD(wparam) == BN_CLICKED) {
        Browse();
        return kPageHandled;
      }
      // Typing in the folder box and every click on a box re-read them all.
      if (page.made && id >= kFolderBox && id <= kLastPageId) {
        ReadBoxes();
        RefreshSpace();
      }
      break;
    }
  }
  return kPageNotHandled;
}

PageDescriptor InstDirDescriptor() {
  return {1, "Installdir", "Choose installation folder", InstDirPage, false};
}
