// testee.exe: a small GUI program for testing driver.exe against known behaviour.
//
//   testee echo FILE ...                writes GetCommandLineA() to FILE; exits 7
//   testee box ICON BUTTONS CAPTION TEXT
//       MessageBoxA(NULL, ...); exits with its answer (IDOK, IDYES, ...).
//       ICON: error|warning|question|information|none
//       BUTTONS: ok|okcancel|yesno|yesnocancel|retrycancel|abortretryignore
//   testee window CLASS [icon|noicon] [BEATFILE]
//       A 400x300-client window of class CLASS (background #123456) with:
//         1005 static   shows "edit: <text>" on EN_CHANGE, "mouse X,Y" on WM_MOUSEMOVE
//         1004 edit     "initial"
//         1003 checkbox "Option", checked
//         1006 button   "Ask": MessageBoxA(question, yes/no), then exits 20 + answer
//         1007 button   "Freeze": stops answering messages for a minute
//         1002 button   "< Back", disabled
//         1001 button   "Next >": exits 40 + checkbox state
//       Closing the window exits 3. With BEATFILE, writes a growing counter
//       there every 50 ms, so a test can tell that the process was killed.
//   testee link LNK TARGET ARGS WORKDIR ICONPATH ICONINDEX DESCRIPTION SHOWCMD
//       Saves a shell link; exits 0, or 1 on failure.
//   testee find CLASS
//       Exits 1 when a window of CLASS exists and answers a message within
//       2 s (its owner pumps messages), 2 when it exists but does not answer,
//       0 when there is none.

#define _WIN32_WINNT 0x0601
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int g_exit = 3;
std::string g_beat_file;
unsigned g_beats = 0;

HWND make(HWND parent, const char* cls, const char* text, DWORD style, int x, int y, int w, int h,
          int id) {
  return CreateWindowExA(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                         GetModuleHandleA(nullptr), nullptr);
}

LRESULT CALLBACK frame_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CREATE:
      make(hwnd, "STATIC", "Ready", 0, 10, 10, 380, 20, 1005);
      make(hwnd, "EDIT", "initial", WS_BORDER | ES_AUTOHSCROLL, 10, 40, 200, 22, 1004);
      SendMessageA(make(hwnd, "BUTTON", "Option", BS_AUTOCHECKBOX, 10, 70, 150, 20, 1003),
                   BM_SETCHECK, BST_CHECKED, 0);
      make(hwnd, "BUTTON", "Ask", BS_PUSHBUTTON, 10, 100, 80, 26, 1006);
      make(hwnd, "BUTTON", "Freeze", BS_PUSHBUTTON, 100, 100, 80, 26, 1007);
      EnableWindow(make(hwnd, "BUTTON", "< Back", BS_PUSHBUTTON, 200, 260, 90, 26, 1002), FALSE);
      make(hwnd, "BUTTON", "Next >", BS_DEFPUSHBUTTON, 300, 260, 90, 26, 1001);
      if (!g_beat_file.empty()) SetTimer(hwnd, 1, 50, nullptr);
      return 0;
    case WM_TIMER:
      if (FILE* f = std::fopen(g_beat_file.c_str(), "wb")) {
        std::fprintf(f, "%u", ++g_beats);
        std::fclose(f);
      }
      return 0;
    case WM_MOUSEMOVE: {
      char text[64];
      std::snprintf(text, sizeof text, "mouse %d,%d", static_cast<short>(LOWORD(lp)),
                    static_cast<short>(HIWORD(lp)));
      SetDlgItemTextA(hwnd, 1005, text);
      return 0;
    }
    case WM_COMMAND:
      if (LOWORD(wp) == 1004 && HIWORD(wp) == EN_CHANGE) {
        char text[256];
        GetDlgItemTextA(hwnd, 1004, text, sizeof text);
        SetDlgItemTextA(hwnd, 1005, (std::string("edit: ") + text).c_str());
      } else if (LOWORD(wp) == 1001) {
        g_exit = 40 + static_cast<int>(IsDlgButtonChecked(hwnd, 1003));
        DestroyWindow(hwnd);
      } else if (LOWORD(wp) == 1007) {
        Sleep(60000);  // stops answering messages, like a hung program
      } else if (LOWORD(wp) == 1006) {
        g_exit = 20 + MessageBoxA(hwnd, "Really?", "Question", MB_YESNO | MB_ICONQUESTION);
        DestroyWindow(hwnd);
      }
      return 0;
    case WM_DESTROY:
      PostQuitMessage(g_exit);
      return 0;
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

int run_window(const char* cls, bool icon) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = frame_proc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hIcon = icon ? LoadIcon(nullptr, IDI_APPLICATION) : nullptr;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = CreateSolidBrush(RGB(0x12, 0x34, 0x56));
  wc.lpszClassName = cls;
  if (!RegisterClassA(&wc)) return 90;
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  RECT r{0, 0, 400, 300};
  AdjustWindowRect(&r, style, FALSE);
  HWND hwnd =
      CreateWindowExA(0, cls, (std::string("Testee ") + cls).c_str(), style, 300, 200,
                      r.right - r.left, r.bottom - r.top, nullptr, nullptr, wc.hInstance, nullptr);
  if (!hwnd) return 91;
  ShowWindow(hwnd, SW_SHOW);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (IsDialogMessageA(hwnd, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return static_cast<int>(msg.wParam);
}

int run_box(const char* icon, const char* buttons, const char* caption, const char* text) {
  static const struct {
    const char* name;
    UINT flags;
  } kIcons[] = {{"error", MB_ICONERROR},
                {"warning", MB_ICONWARNING},
                {"question", MB_ICONQUESTION},
                {"information", MB_ICONINFORMATION},
                {"none", 0}},
    kButtons[] = {{"ok", MB_OK},
                  {"okcancel", MB_OKCANCEL},
                  {"yesno", MB_YESNO},
                  {"yesnocancel", MB_YESNOCANCEL},
                  {"retrycancel", MB_RETRYCANCEL},
                  {"abortretryignore", MB_ABORTRETRYIGNORE}};
  UINT flags = 0;
  bool icon_ok = false, buttons_ok = false;
  for (const auto& i : kIcons)
    if (!std::strcmp(i.name, icon)) flags |= i.flags, icon_ok = true;
  for (const auto& b : kButtons)
    if (!std::strcmp(b.name, buttons)) flags |= b.flags, buttons_ok = true;
  if (!icon_ok || !buttons_ok) return 92;
  return MessageBoxA(nullptr, text, caption, flags);
}

int make_link(char** a) {
  if (FAILED(CoInitialize(nullptr))) return 1;
  int result = 1;
  IShellLinkA* link = nullptr;
  IPersistFile* file = nullptr;
  wchar_t wide[MAX_PATH];
  if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                 reinterpret_cast<void**>(&link))) &&
      SUCCEEDED(link->SetPath(a[1])) && SUCCEEDED(link->SetArguments(a[2])) &&
      SUCCEEDED(link->SetWorkingDirectory(a[3])) &&
      SUCCEEDED(link->SetIconLocation(a[4], std::atoi(a[5]))) &&
      SUCCEEDED(link->SetDescription(a[6])) && SUCCEEDED(link->SetShowCmd(std::atoi(a[7]))) &&
      SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
      MultiByteToWideChar(CP_ACP, 0, a[0], -1, wide, MAX_PATH) > 0 &&
      SUCCEEDED(file->Save(wide, TRUE)))
    result = 0;
  if (file) file->Release();
  if (link) link->Release();
  CoUninitialize();
  return result;
}

int find_window(const char* cls) {
  HWND h = FindWindowA(cls, nullptr);
  if (!h) return 0;
  DWORD_PTR ignored = 0;
  return SendMessageTimeoutA(h, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &ignored) ? 1 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "echo" && argc > 2) {
    FILE* f = std::fopen(argv[2], "wb");
    if (!f) return 1;
    const char* line = GetCommandLineA();
    std::fwrite(line, 1, std::strlen(line), f);
    std::fclose(f);
    return 7;
  }
  if (mode == "box" && argc == 6) return run_box(argv[2], argv[3], argv[4], argv[5]);
  if (mode == "window" && argc >= 3) {
    if (argc >= 5) g_beat_file = argv[4];
    return run_window(argv[2], !(argc >= 4 && !std::strcmp(argv[3], "noicon")));
  }
  if (mode == "link" && argc == 10) return make_link(argv + 2);
  if (mode == "find" && argc == 3) return find_window(argv[2]);
  return 98;  // bad arguments (not 99: that is the driver's failure code)
}
