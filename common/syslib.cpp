#include "common/syslib.h"

#include <string>

namespace {

// The library-search functions of newer systems (Windows 8, and Windows 7
// and Vista with their security update); looked up at run time.
using SetDefaultDirsFn = BOOL(WINAPI*)(DWORD);
using AddDirFn = void*(WINAPI*)(PCWSTR);
using RemoveDirFn = BOOL(WINAPI*)(void*);
using SetDllDirectoryFn = BOOL(WINAPI*)(LPCSTR);

template <typename F>
F Kernel32Function(const char* name) {
  return SystemFunction<F>(GetModuleHandleA("kernel32.dll"), name);
}

// Whether the search has been restricted: only then do the search flags of
// LoadLibraryEx exist.
bool restricted;

std::string SystemFolder() {
  char folder[MAX_PATH];
  const UINT n = GetSystemDirectoryA(folder, sizeof folder);
  return n > 0 && n < sizeof folder ? std::string(folder) : std::string();
}

}  // namespace

void RestrictLibrarySearch() {
  if (auto set_default = Kernel32Function<SetDefaultDirsFn>("SetDefaultDllDirectories")) {
    restricted =
        set_default(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS) != FALSE;
  }
  if (!restricted) {
    // The program's own folder stays in the old search order; every library
    // of the installer's is therefore loaded by its full system path.
    if (auto set_dir = Kernel32Function<SetDllDirectoryFn>("SetDllDirectoryA")) set_dir("");
  }
}

HMODULE LoadSystemLibrary(const char* name) {
  if (restricted) return LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  const std::string folder = SystemFolder();
  if (folder.empty()) return nullptr;
  // The libraries it needs are looked for beside it first: in the system folder.
  return LoadLibraryExA((folder + "\\" + name).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

AddedLibraryFolder::AddedLibraryFolder(const char* folder) {
  if (restricted) {
    auto add = Kernel32Function<AddDirFn>("AddDllDirectory");
    const int n = MultiByteToWideChar(CP_ACP, 0, folder, -1, nullptr, 0);
    if (add && n > 0) {
      std::wstring wide(static_cast<size_t>(n), L'\0');
      MultiByteToWideChar(CP_ACP, 0, folder, -1, wide.data(), n);
      cookie_ = add(wide.c_str());
    }
  } else if (auto set_dir = Kernel32Function<SetDllDirectoryFn>("SetDllDirectoryA")) {
    set_folder_ = set_dir(folder) != FALSE;
  }
}

AddedLibraryFolder::~AddedLibraryFolder() {
  if (cookie_) {
    if (auto remove = Kernel32Function<RemoveDirFn>("RemoveDllDirectory")) remove(cookie_);
  }
  // Back to the search without the current folder.
  if (set_folder_) Kernel32Function<SetDllDirectoryFn>("SetDllDirectoryA")("");
}

HMODULE AddedLibraryFolder::Load(const char* dll) {
  if (restricted) {
    return LoadLibraryExA(dll, nullptr,
                          LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32 |
                              LOAD_LIBRARY_SEARCH_USER_DIRS);
  }
  return LoadLibraryExA(dll, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
