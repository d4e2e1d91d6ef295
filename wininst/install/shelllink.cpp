// Shell links (.lnk files) through the shell-link object. Kept apart from
// the manifest's records: the shell's headers declare a type of the same name
// as the record of a feature folder.
#include <windows.h>
#include <objbase.h>
#include <objidl.h>
#include <shlguid.h>
#include <shobjidl.h>

#include <string>

#include "common/handle.h"
#include "common/messages.h"
#include "wininst/install/shortcuts.h"

namespace {

template <typename T>
void ComRelease(T* p) {
  p->Release();
}
template <typename T>
using ComPtr = Handle<T*, ComRelease<T>>;

const char* Shown(const char* s) { return s ? s : "(null)"; }

// The shell-link object and its interfaces: named here, since the system's
// library of them brings every GUID of the system along (1.6 KB).
constexpr GUID kShellLink = {0x00021401, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID kShellLinkA = {0x000214EE, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID kPersistFile = {0x0000010B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// A step of the link's making failed: the step, its result and the link's parts.
[[noreturn]] void LinkFailed(const char* step, HRESULT hr, const char* target, const char* link,
                             const char* description, const char* working_folder) {
  Fatal("%s failed: %d/%d (%s, %s, %s, %s)", step, static_cast<int>(hr), static_cast<int>(GetLastError()),
        target, link, Shown(description), Shown(working_folder));
}

}  // namespace

long MakeShellLink(const char* target, const char* link, const char* description, const char* arguments,
                   const char* working_folder, const char* icon) {
  ComPtr<IShellLinkA> shell_link;
  HRESULT hr = CoCreateInstance(kShellLink, nullptr, CLSCTX_INPROC_SERVER, kShellLinkA,
                                reinterpret_cast<void**>(shell_link.put()));
  if (FAILED(hr)) LinkFailed("CoCreateInstance", hr, target, link, description, working_folder);
  // A missing target gives S_FALSE, which is no reason to stop.
  shell_link.get()->SetPath(target);
  if (arguments) shell_link.get()->SetArguments(arguments);
  if (description) shell_link.get()->SetDescription(description);
  if (working_folder) shell_link.get()->SetWorkingDirectory(working_folder);
  if (icon) shell_link.get()->SetIconLocation(icon, 0);

  ComPtr<IPersistFile> file;
  hr = shell_link.get()->QueryInterface(kPersistFile, reinterpret_cast<void**>(file.put()));
  if (FAILED(hr)) LinkFailed("QueryInterface", hr, target, link, description, working_folder);
  WCHAR wide[MAX_PATH];
  if (!MultiByteToWideChar(CP_ACP, 0, link, -1, wide, MAX_PATH)) wide[0] = L'\0';
  hr = file.get()->Save(wide, TRUE);
  if (FAILED(hr)) LinkFailed("Save", hr, target, link, description, working_folder);
  return hr;
}

std::string ShellLinkTarget(const char* link) {
  ComPtr<IShellLinkA> shell_link;
  if (FAILED(CoCreateInstance(kShellLink, nullptr, CLSCTX_INPROC_SERVER, kShellLinkA,
                              reinterpret_cast<void**>(shell_link.put())))) {
    return {};
  }
  ComPtr<IPersistFile> file;
  WCHAR wide[MAX_PATH];
  char target[MAX_PATH] = "";
  if (FAILED(shell_link.get()->QueryInterface(kPersistFile, reinterpret_cast<void**>(file.put()))) ||
      !MultiByteToWideChar(CP_ACP, 0, link, -1, wide, MAX_PATH) ||
      FAILED(file.get()->Load(wide, STGM_READ)) ||
      FAILED(shell_link.get()->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH))) {
    return {};
  }
  return target;
}
