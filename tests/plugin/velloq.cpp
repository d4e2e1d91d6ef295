// A host IDE plug-in as installers meet it; tests install it as
// bin\VELLOQ.dll. DllRegisterServer records under
// HKLM\SOFTWARE\MeridoxTests\Plugin its own path (Registered), the number of
// calls (Calls), whether OLE was already initialised on the thread (Ole) and,
// built with VELLOQ_NEEDS, the answer of velloq_helper.dll beside it (Helper),
// which only the installer's DLL search folder lets the system find. It
// returns the number Result found there. VELLOQ_NOEXPORT builds it without the
// export, VELLOQ_HELPER builds the helper.
#include <windows.h>
#include <objbase.h>

#if defined(VELLOQ_HELPER)
extern "C" __declspec(dllexport) DWORD VelloqHelper() {
  return 42;
}
#elif !defined(VELLOQ_NOEXPORT)
extern "C" IMAGE_DOS_HEADER __ImageBase;
#ifdef VELLOQ_NEEDS
extern "C" __declspec(dllimport) DWORD VelloqHelper();
#endif

static DWORD Number(HKEY key, const char* name) {
  DWORD value = 0, size = sizeof value;
  RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
  return value;
}

static void SetNumber(HKEY key, const char* name, DWORD value) {
  RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllRegisterServer() {
  HKEY key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\MeridoxTests\\Plugin", 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != 0) {
    return E_FAIL;
  }
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(reinterpret_cast<HMODULE>(&__ImageBase), path, MAX_PATH);
  RegSetValueExA(key, "Registered", 0, REG_SZ, reinterpret_cast<const BYTE*>(path), n + 1);
  SetNumber(key, "Calls", Number(key, "Calls") + 1);
  HRESULT com = CoInitialize(nullptr);  // S_FALSE: the thread's apartment was there before
  SetNumber(key, "Ole", com == S_FALSE);
  if (SUCCEEDED(com)) CoUninitialize();
#ifdef VELLOQ_NEEDS
  SetNumber(key, "Helper", VelloqHelper());
#endif
  DWORD result = Number(key, "Result");
  RegCloseKey(key);
  return static_cast<HRESULT>(result);
}
#endif
