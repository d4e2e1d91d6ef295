// The completion page: tells the user that the installation, repair or
// removal succeeded and offers what may follow an installation (the IDE, or
// the Java runtime it needs; the quickstart guide; the product's PDF
// documents). The choices are carried out once the wizard has ended.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "common/handle.h"
#include "common/osdep.h"
#include "common/registry.h"
#include "common/vector.h"
#include "common/messages.h"
#include "wininst/core/folders.h"
#include "wininst/core/page.h"
#include "wininst/core/paths.h"
#include "wininst/core/runmode.h"
#include "wininst/core/usershell.h"
#include "wininst/core/variables.h"
#include "wininst/install/manifest.h"
#include "wininst/install/registration.h"
#include "wininst/install/removal.h"
#include "wininst/pages/pages.h"

namespace {

constexpr int kChoiceId = 303;
constexpr DWORD kBoxStyle = WS_TABSTOP | BS_AUTOCHECKBOX;
constexpr const char* kJavaKey = "SOFTWARE\\JavaSoft\\Java Runtime Environment";

// A document offered for reading, described by a manifest variable.
struct PdfEntry {
  PdfEntry* next;
  char* variable;
  char* caption;
  char* path;  // InstDir, a backslash and the relative path
  HWND box;
  bool read;  // the box's state, as the user left it
};

// Made on entering and kept for the run: RunPostWizardChoices reads it
// after the message loop, when the boxes may be gone with the window (closed
// instead of Finish): each box's state is recorded as it changes.
struct Completion {
  bool entered = false;
  TextHandle text;
  const char* ide = nullptr;  // the IDE's executable, when one is known
  TextHandle own_ide;         // that path when the product is the IDE alone
  HWND group = nullptr;
  HWND ide_box = nullptr;
  HWND java_box = nullptr;
  HWND quickstart_box = nullptr;
  HWND pdf_label = nullptr;
  PdfEntry* pdfs = nullptr;  // newest first
  int placed = 0;            // boxes and labels placed so far, upward from the bottom line
  bool run_ide = false;
  bool run_java = false;
  bool read_quickstart = false;
} page;

bool PassedOver() {
  const RunMode& mode = Mode();
  return mode.headless || (mode.remove && mode.proceed);
}

const char* Template() {
  if (Mode().remove && FilesLeftForRestart() > 0) {
    return "[Description] V[Version][PatchLevel] has been uninstalled, except for files that other "
           "programs "
           "still use: they will be removed when the computer restarts.";
  }
  if (Mode().remove)
    return "[Description] V[Version][PatchLevel] has been successfully uninstalled.";
  if (Mode().install) {
    return VariableEquals("PatchLevel", "PL0")
               ? "Congratulations!\n[Description] version [Version] has been successfully installed"
               : "Congratulations!\n[Description] version [Version][PatchLevel] has been "
                 "successfully installed";
  }
  return "[Description] version [FullVersion] has been successfully repaired.";
}

void Compose() {
  std::string text = Template();
  if (!Mode().remove && Mode().install) {
    // The welcome page decides "repair" for every run that does not remove.
    if (Mode().repair) text += " and is ready to use";
    text += ".\n\n";
    text += "\n\n";
  }
  page.text.reset(ExpandVariables(text.c_str()));
}

// Makes a choice control and places it above the ones placed before.
HWND Place(const char* window_class, const char* text, DWORD style, int width) {
  HWND control = MakeControl(window_class, text, style, kChoiceId);
  if (control) PlaceControl(control, 29, 227 - 14 * page.placed, width, 10, style);
  page.placed++;
  return control;
}

HWND PlaceBox(const char* text, int width, bool checked) {
  HWND box = Place("BUTTON", text, kBoxStyle, width);
  if (box && checked) SendMessageA(box, BM_SETCHECK, BST_CHECKED, 0);
  return box;
}

// A line of the compatibility list is a version prefix; it succeeds when an
// installed runtime's version begins with it and the runtime names its home
// (any such runtime will do: nothing asks which one).
bool RuntimeMatches(const std::vector<std::string>& runtimes, const char* prefix, size_t length) {
  for (const std::string& name : runtimes) {
    if (strncmp(name.c_str(), prefix, length) != 0) continue;
    std::string home;
    if (reg_read(kRegLocalMachine, (std::string(kJavaKey) + "\\" + name).c_str(), "JavaHome",
                 home) == 0) {
      return true;
    }
  }
  return false;
}

// Whether the IDE can run: no Java installer named means none is needed;
// otherwise an installed runtime must match a line of the list that JCOMPAT
// names (a URL names no readable file, so it is never fetched).
bool JavaAvailable() {
  if (!GetVariable("JAVA")) return true;
  const char* list_path = GetVariable("JCOMPAT");
  if (!list_path) return false;
  FileHandle list(fopen(FromProgramFolder(list_path).c_str(), "r"));
  if (!list) return false;
  long error = 0;
  const std::vector<std::string> runtimes = reg_subkeys(kRegLocalMachine, kJavaKey, &error);
  bool available = false;
  if (error == 0 && !runtimes.empty()) {
    char line[256];
    while (!available && fgets(line, sizeof line, list.get())) {
      if (line[0] == '\0' || line[0] == '\n' || line[0] == '\r' || line[0] == '#') continue;
      available = RuntimeMatches(runtimes, line, strcspn(line, "\r\n"));
    }
  }
  return available;
}

// The documents that ReadPDFs names ("A|B|C"), each variable holding
// "relative path|caption"; the list ends up newest first.
void BuildPdfList() {
  TextHandle names(xstrdup(GetVariable("ReadPDFs")));
  char* pos = nullptr;
  for (char* name = NextToken(names.get(), "|", &pos); name; name = NextToken(nullptr, "|", &pos)) {
    const char* value = GetVariable(name);
    if (!value) Fatal("Can't find variable \"%s\" in manifest", name);
    const char* bar = strchr(value, '|');
    if (!bar) Fatal("Syntax error in value of variable \"%s\"", name);
    auto* entry = new (std::nothrow) PdfEntry{};
    if (!entry) Fatal("Ran out of memory!");
    TextHandle relative(xstrdup(value));
    relative.get()[bar - value] = '\0';
    TextHandle folder(xstrcat(InstallFolder(""), "\\"));
    entry->variable = xstrdup(name);
    entry->caption = xstrdup(bar + 1);
    entry->path = xstrcat(folder.get(), relative.get());
    entry->next = page.pdfs;
    page.pdfs = entry;
  }
  // Placed upward from the newest, so the manifest's first stands on top.
  for (PdfEntry* e = page.pdfs; e; e = e->next) {
    e->box = PlaceBox(e->caption, 200, false);
    if (!e->box) Fatal("Couldn't create pdf checkbox!");
  }
}

void RecordChoices() {
  page.run_ide = page.ide && IsChecked(page.ide_box);
  page.run_java = IsChecked(page.java_box);
  page.read_quickstart = IsChecked(page.quickstart_box);
  for (PdfEntry* e = page.pdfs; e; e = e->next) e->read = IsChecked(e->box);
}

void Enter() {
  page.entered = true;
  Compose();
  page.ide = IdeExecutablePath();
  if (GetVariable("SandriftOnly")) {
    page.own_ide.reset(xsprintf("%s\\bin\\sandrift.exe", InstallFolder("")));
    page.ide = page.own_ide.get();
  }
  const bool offers = !Mode().remove;
  if (offers) {
    page.group = MakeControl("STATIC", nullptr, WS_BORDER, 0);
    if (page.ide && IsComponentAllowed("SANDRIFT")) {
      if (JavaAvailable()) {
        page.ide_box = PlaceBox("Run SANDRIFT now ?", 85, false);
      } else {
        page.java_box =
            PlaceBox("SANDRIFT requires Java. Run Java Runtime Environment installer ?", 220, true);
      }
    }
    // Nothing to read yet when the run goes on without asking.
    const bool reading = !Mode().proceed;
    if (reading && GetVariable("ReadQuickstart")) {
      page.quickstart_box = PlaceBox("Read quickstart guide now ?", 120, true);
    }
    if (reading && GetVariable("ReadPDFs")) {
      BuildPdfList();
      page.pdf_label = Place("STATIC", "Would you like to read the", WS_CHILD, 200);
    }
    if (page.placed > 0) {
      PlaceControl(page.group, 25, 236 - 14 * page.placed, 350, 14 * page.placed + 4, WS_BORDER);
    }
  }
  SetPageText(page.text.get());
  EnableNext(true, true);
  RecordChoices();
}

// What the choices could not open: the user is told once, at the end.
std::string not_opened;

// Opens a document or starts a program with the shell's "open" verb. The
// desktop's shell does it, with the rights of its user: a viewer, a browser
// or the IDE never runs with the installer's administrator rights. Where no
// such shell answers, nothing is started.
void Open(const char* path, int show) {
  if (!OpenAsDesktopUser(path, show)) (not_opened += '\n') += path;
}

}  // namespace

LRESULT CompletionPage(HWND, UINT message, WPARAM wparam, LPARAM) {
  if (PassedOver()) return kPageSkip;
  if (message == kPageEnter) {
    // The last page is entered once; Back is disabled there.
    if (!page.entered) Enter();
    return kPageShown;
  }
  // A box's click; the boxes may be gone when the run carries the choices out.
  if (message == WM_COMMAND && LOWORD(wparam) == kChoiceId && HIWORD(wparam) == BN_CLICKED) {
    RecordChoices();
  }
  return kPageNotHandled;
}

void RunPostWizardChoices() {
  if (!page.entered) return;
  const char* quickstart = GetVariable("ReadQuickstart");
  if (quickstart && page.read_quickstart) {
    TextHandle path(xsprintf("%s\\%s", InstallFolder(""), quickstart));
    if (file_exists(path.get())) {
      Open(path.get(), SW_RESTORE);
    } else {
      ShowError("Quickstart", "Could not locate quickstart guide:\n %s", path.get());
    }
  }
  for (PdfEntry* e = page.pdfs; e; e = e->next) {
    if (!e->read) continue;
    if (file_exists(e->path)) {
      Open(e->path, SW_SHOWNORMAL);
    } else {
      ShowError("Read PDF", "Could not locate the \"%s\":\n %s", e->caption, e->path);
    }
  }
  if (page.run_java) {
    Open(FromProgramFolder(VariableOr("JAVA")).c_str(), SW_SHOW);
  } else if (page.run_ide && page.ide) {
    Open(page.ide, SW_SHOW);
  }
  if (!not_opened.empty()) TellNotOpened(not_opened.c_str());
}

PageDescriptor CompletionDescriptor() {
  return {1, "Complete", "Installation complete", CompletionPage, false};
}
