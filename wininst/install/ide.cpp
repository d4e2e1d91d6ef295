#include "wininst/install/ide.h"

#include <windows.h>
#include <ole2.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "common/alloc.h"
#include "common/handle.h"
#include "common/osdep.h"
#include "common/registry.h"
#include "common/syslib.h"
#include "common/vector.h"
#include "common/messages.h"
#include "wininst/core/folders.h"
#include "wininst/core/paths.h"
#include "wininst/core/plainfile.h"
#include "wininst/core/product.h"
#include "wininst/core/variables.h"
#include "wininst/install/transaction.h"

namespace {

constexpr const char* kHoltekKey = "SOFTWARE\\Holtek Inc.";
constexpr uint32_t kHoltekNameLimit = 260;
// Room for the installation's folder; the profile's path is appended to it.
constexpr uint32_t kHoltekDirLimit = 2016;
constexpr const char* kPluginCaption = "TESSERA plugin installation";

int slot = -1;

std::optional<std::string> ReadString(const char* key, const char* name) {
  std::string value;
  if (reg_read(kRegLocalMachine, key, name, value) != 0) return std::nullopt;
  return value;
}

std::string PluginKey() {
  return ExpandedText("SOFTWARE\\[Manufacturer]\\TESSERA Plugin");
}

// A drive's folder or a network share. Anything else would land relative to
// the installer's own current folder, which no Holtek installation owns.
bool IsAbsoluteFolder(const char* dir) {
  return (isalpha(static_cast<unsigned char>(dir[0])) && dir[1] == ':' && dir[2] == '\\') ||
         (dir[0] == '\\' && dir[1] == '\\');
}

template <typename Visit>
void ForEachSubkey(const std::string& key, uint32_t name_limit, Visit visit) {
  for (const std::string& name : reg_subkeys(kRegLocalMachine, key.c_str(), nullptr, name_limit))
    visit(key + "\\" + name);
}

// OLE for the thread while the plug-in registers itself; ended only when it
// was started.
class OleSession {
 public:
  OleSession() : started_(SUCCEEDED(OleInitialize(nullptr))) {}
  ~OleSession() { End(); }
  OleSession(const OleSession&) = delete;
  OleSession& operator=(const OleSession&) = delete;
  bool started() const { return started_; }
  void End() {
    if (started_) OleUninitialize();
    started_ = false;
  }

 private:
  bool started_;
};

// Puts what `from` holds in place of what `to` holds, through their handles.
bool CopyWhole(HANDLE from, HANDLE to) {
  char buffer[4096];
  DWORD got, written;
  if (SetFilePointer(from, 0, nullptr, FILE_BEGIN) != 0 ||
      SetFilePointer(to, 0, nullptr, FILE_BEGIN) != 0) {
    return false;
  }
  while (ReadFile(from, buffer, sizeof buffer, &got, nullptr)) {
    if (got == 0) return SetEndOfFile(to) != FALSE;
    if (!WriteFile(to, buffer, got, &written, nullptr) || written != got) return false;
  }
  return false;
}

// Sets the compiler in the settings file that `settings` holds open: the
// system's profile writer edits a copy in the run's own folder, and the
// result goes back through the handle, never by the file's name. A failure
// is the IDE's matter: it is not reported.
void SetCompiler(HANDLE settings, const char* compiler) {
  const char* tmp = GetVariable("TmpDir");
  char copy[MAX_PATH];
  if (!tmp || !GetTempFileNameA(tmp, "ide", 0, copy)) return;
  HANDLE file = CreateFileA(copy, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    const bool copied = CopyWhole(settings, file);
    CloseHandle(file);
    if (copied && WritePrivateProfileStringA("Meridox", "COMPILER", compiler, copy)) {
      file = CreateFileA(copy, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
      if (file != INVALID_HANDLE_VALUE) {
        CopyWhole(file, settings);
        CloseHandle(file);
      }
    }
  }
  DeleteFileA(copy);
}

}  // namespace

void ConfigureHoltekIDE() {
  const std::string compiler = ExpandedText("\"[InstDir]\\bin\\brisc.exe\"");
  std::string last;
  ForEachSubkey(kHoltekKey, kHoltekNameLimit, [&](const std::string& product) {
    ForEachSubkey(product, kHoltekNameLimit, [&](const std::string& installation) {
      RegData dir =
          reg_get_plain_string(kRegLocalMachine, installation.c_str(), "Dir", kHoltekDirLimit);
      if (dir.error != 0) return;
      TextHandle folder(dir.data);
      if (!IsAbsoluteFolder(folder.get())) return;
      // The IDE's folder is its own, whatever lies above it; from there
      // down, the file is written where no link leads, as installed files are.
      std::string anchor = SystemForm(folder.get());
      if (anchor.back() == '\\') anchor.pop_back();  // a drive's root
      last = anchor + "\\bin\\ht-ide3000.ini";
      HANDLE settings;
      std::string where;
      const PlainFile opened = OpenPlainFile(last, anchor, GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ, settings, where);
      if (opened == PlainFile::kOpened) {
        SetCompiler(settings, compiler.c_str());
        CloseHandle(settings);
      } else if (opened != PlainFile::kFailed) {
        ShowNotice(
            "The Holtek IDE's settings file %s was not changed: a link or another name of it "
            "leads elsewhere (%s).\nSet the IDE's compiler to %s yourself.",
            last.c_str(), where.c_str(), compiler.c_str());
      }
    });
  });
  if (last.empty()) return;
  last.replace(last.rfind('.'), std::string::npos, ".exe");
  SetVariable("HoltekIDEPath", last.c_str());
}

void SetupCFASM(Transaction& transaction) {
  const std::string folder = std::string(InstallFolder("")) + "\\CFASMTools\\";
  transaction.SetString(kRegLocalMachine, ProductKey(), "fasm", folder + "CFASM.exe", true);
  transaction.SetString(kRegLocalMachine, ProductKey(), "fasmsetup", folder + "SimConfigSetup.exe", true);
  transaction.Apply();
}

bool IsPluginProduct() {
  const char* product = GetVariable("Product");
  return product && strcmp(product, "TESSERA Plugin") == 0;
}

std::optional<std::string> PluginInstalledPath() {
  std::optional<std::string> path = ReadString(PluginKey().c_str(), "currentPath");
  if (path && !file_exists(path->c_str())) return std::nullopt;
  return path;
}

std::optional<std::string> PluginInstalledVersion() {
  if (!PluginInstalledPath()) return std::nullopt;
  return ReadString(PluginKey().c_str(), "currentVer");
}

int PluginSlot() {
  // The plug-in itself is no client of the host IDE's slots.
  if (IsPluginProduct()) return -1;
  if (slot != -1) return slot;
  uint32_t value = 0;
  if (reg_get_dword(kRegLocalMachine, ProductKey(), "MPIndex", &value) == 0) {
    slot = static_cast<int>(value);
    return slot;
  }
  // A previous patch level in this very folder is being replaced: its slot
  // moves to the new installation.
  const char* inst_dir = InstallFolder();
  if (!inst_dir) return slot;
  ForEachSubkey(ProductVersionKey(), kRegSubkeyNameLimit, [&](const std::string& level) {
    std::optional<std::string> dir = ReadString(level.c_str(), "InstDir");
    if (!dir || *dir != inst_dir) return;
    if (reg_get_dword(kRegLocalMachine, level.c_str(), "MPIndex", &value) != 0) return;
    slot = static_cast<int>(value);
    reg_delete_value(kRegLocalMachine, level.c_str(), "MPIndex");
  });
  return slot;
}

int KnownPluginSlot() {
  return slot;
}

void RegisterPlugin(Transaction& transaction) {
  const std::string bin = std::string(InstallFolder("")) + "\\bin";
  const std::string dll = bin + "\\VELLOQ.dll";
  const bool plugin_product = IsPluginProduct();
  const char* version = GetVariable(plugin_product ? "Version" : "TESSERAPluginVer");

  // An older plug-in never replaces a newer one registered elsewhere. The
  // plug-in product checking installed versions was asked on the welcome
  // page already. The same DLL in another letter case is no other place: its
  // file now holds this version.
  if (version && (!plugin_product || !GetVariable("CheckInstalledVersions"))) {
    std::optional<std::string> installed = PluginInstalledVersion();
    if (installed && CompareVersions(installed->c_str(), version) > 0) {
      std::optional<std::string> path = PluginInstalledPath();
      if (path && _stricmp(path->c_str(), dll.c_str()) != 0) return;
    }
  }

  OleSession ole;
  if (!ole.started()) ShowError(kPluginCaption, "Failed: Could not initialize OLE");

  Library plugin;
  HRESULT(STDAPICALLTYPE * register_server)() = nullptr;
  HRESULT result = S_OK;
  {
    // The libraries shipped beside the plug-in are found there, and never
    // one of their names beside the installer.
    AddedLibraryFolder folder(bin.c_str());
    plugin.reset(folder.Load(dll.c_str()));
    if (plugin) {
      register_server = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
          reinterpret_cast<void*>(GetProcAddress(plugin.get(), "DllRegisterServer")));
      if (register_server) result = register_server();
    }
  }
  if (!plugin) {
    ole.End();
    ShowError(kPluginCaption, "Failure: Could not load TESSERA plugin: %s", dll.c_str());
    return;
  }
  if (!register_server) {
    plugin.reset();
    ole.End();
    ShowError(kPluginCaption, "Failure: Could not find DLL self-registration entry point");
    return;
  }
  if (result != 0) {
    ShowError(kPluginCaption, "Registration failed. Error code = %lX",
              static_cast<unsigned long>(result));
  }
  if (version) {
    const std::string key = PluginKey();
    transaction.SetString(kRegLocalMachine, key, "currentVer", version);
    transaction.SetString(kRegLocalMachine, key, "currentPath", dll);
    transaction.Apply();
  }
}
