#include "wininst/core/usershell.h"

#include <windows.h>
#include <exdisp.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "common/messages.h"
#include "common/syslib.h"

namespace {

// The automation library is no known system library: loaded from the
// system folder when the shell is first asked.
decltype(&SysAllocString) allocate;
decltype(&SysFreeString) release;

// A text of the system's code page as the shell's automation takes it: a
// string in a VARIANT, or nothing (VT_EMPTY) for an empty text.
VARIANT Text(const char* text) {
  VARIANT value{};
  wchar_t wide[1024];
  if (text && *text && MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 1024) > 0) {
    value.vt = VT_BSTR;
    value.bstrVal = allocate(wide);
  }
  return value;
}

template <typename T>
void** Out(T** object) {
  return reinterpret_cast<void**>(object);
}

// The shell's automation object of the desktop, reached through the
// desktop's window in the shell's list of windows, its browser and view;
// every object met on the way is kept in `met` for the caller to release.
HRESULT DesktopShell(IUnknown** met, IShellDispatch2*& shell) {
  IShellWindows* windows;
  IDispatch *found, *background, *application;
  IServiceProvider* services;
  IShellBrowser* browser;
  IShellView* view;
  IShellFolderViewDual* folder_view;
  HRESULT hr = CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                Out(&windows));
  if (FAILED(hr)) return hr;
  met[0] = windows;
  VARIANT desktop{}, root{};
  desktop.vt = VT_I4;
  desktop.lVal = CSIDL_DESKTOP;
  long window = 0;
  // S_FALSE: no desktop window.
  hr = windows->FindWindowSW(&desktop, &root, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH, &found);
  if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
  if (!(met[1] = found)) return E_FAIL;
  if (FAILED(hr = found->QueryInterface(IID_IServiceProvider, Out(&services)))) return hr;
  met[2] = services;
  if (FAILED(hr = services->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, Out(&browser)))) {
    return hr;
  }
  met[3] = browser;
  if (FAILED(hr = browser->QueryActiveShellView(&view))) return hr;
  met[4] = view;
  if (FAILED(hr = view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, Out(&background)))) {
    return hr;
  }
  met[5] = background;
  if (FAILED(hr = background->QueryInterface(IID_IShellFolderViewDual, Out(&folder_view)))) {
    return hr;
  }
  met[6] = folder_view;
  if (FAILED(hr = folder_view->get_Application(&application))) return hr;
  met[7] = application;
  if (FAILED(hr = application->QueryInterface(IID_IShellDispatch2, Out(&shell)))) return hr;
  met[8] = shell;
  return hr;
}

}  // namespace

bool OpenAsDesktopUser(const char* file, int show) {
  // COM on this thread for the call; ended only when started here.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  HRESULT hr = E_FAIL;
  if (!allocate) {
    const HMODULE library = LoadSystemLibrary("oleaut32.dll");
    allocate = SystemFunction<decltype(&SysAllocString)>(library, "SysAllocString");
    release = SystemFunction<decltype(&SysFreeString)>(library, "SysFreeString");
  }
  if ((SUCCEEDED(com) || com == RPC_E_CHANGED_MODE) && allocate && release) {
    IUnknown* met[9]{};
    IShellDispatch2* shell = nullptr;
    hr = DesktopShell(met, shell);
    if (SUCCEEDED(hr)) {
      VARIANT texts[] = {Text(file), {}, {}, Text("open")}, shown{};
      shown.vt = VT_I4;
      shown.lVal = show;
      hr = texts[0].bstrVal
               ? shell->ShellExecute(texts[0].bstrVal, texts[1], texts[2], texts[3], shown)
               : E_OUTOFMEMORY;
      for (VARIANT& text : texts) {
        if (text.vt == VT_BSTR) release(text.bstrVal);
      }
    }
    for (int i = 8; i >= 0; i--) {
      if (met[i]) met[i]->Release();
    }
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return SUCCEEDED(hr);
}

void TellNotOpened(const char* what) {
  ShowInfo("Setup",
           "Setup runs with administrator rights and found no desktop to open this with your own "
           "rights:\n%s\n\nOpen it yourself.",
           what);
}
