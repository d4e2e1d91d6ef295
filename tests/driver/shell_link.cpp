// Reading a shell link back; see shell_link.h.
#include "tests/driver/shell_link.h"

#include <shlobj.h>

namespace ui {

namespace {

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  T* operator->() const { return p_; }
  void** put() {
    reset();
    return reinterpret_cast<void**>(&p_);
  }

 private:
  void reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }
  T* p_ = nullptr;
};

class ComApartment {
 public:
  ComApartment() : hr_(CoInitialize(nullptr)) {}
  ~ComApartment() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  HRESULT hr_;
};

}  // namespace

ShellLink read_link(const std::string& path) {
  // Windows reads the show command from the header; so do we.
  unsigned char header[0x4C]{};
  {
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) fail(win_error("CreateFileA") + " for " + path);
    DWORD got = 0;
    if (!ReadFile(file.get(), header, sizeof header, &got, nullptr) || got != sizeof header ||
        header[0] != 0x4C)
      fail(path + " is not a shell link");
  }
  auto dword_at = [&](size_t off) {
    return static_cast<DWORD>(header[off] | header[off + 1] << 8 | header[off + 2] << 16 |
                              header[off + 3] << 24);
  };

  std::wstring wide(path.size() + 1, L'\0');
  const int n =
      MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
  if (n <= 0) fail(win_error("MultiByteToWideChar"));

  ComApartment apartment;
  ComPtr<IShellLinkA> link;
  ComPtr<IPersistFile> file;
  HRESULT hr =
      CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, link.put());
  if (FAILED(hr))
    fail("CoCreateInstance(ShellLink) failed, hr " +
         std::to_string(static_cast<unsigned long>(hr)));
  if (FAILED(hr = link->QueryInterface(IID_IPersistFile, file.put())))
    fail("QueryInterface(IPersistFile) failed, hr " +
         std::to_string(static_cast<unsigned long>(hr)));
  if (FAILED(hr = file->Load(wide.c_str(), STGM_READ)))
    fail("IPersistFile::Load failed, hr " + std::to_string(static_cast<unsigned long>(hr)));

  char target[MAX_PATH]{}, args[INFOTIPSIZE]{}, dir[MAX_PATH]{}, icon[MAX_PATH]{},
      desc[INFOTIPSIZE]{};
  int icon_index = 0;
  link->GetPath(target, sizeof target, nullptr, 0);
  link->GetArguments(args, sizeof args);
  link->GetWorkingDirectory(dir, sizeof dir);
  link->GetIconLocation(icon, sizeof icon, &icon_index);
  link->GetDescription(desc, sizeof desc);
  return {.target = target,
          .arguments = args,
          .working_dir = dir,
          .icon_path = icon,
          .icon_index = icon_index,
          .description = desc,
          .show_cmd = dword_at(0x3C),
          .hotkey = header[0x40] | header[0x41] << 8};
}

}  // namespace ui
