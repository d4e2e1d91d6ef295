#include "wininst/core/paths.h"

#include <windows.h>

#include <cctype>
#include <cstring>
#include <string>

#include "common/compat.h"
#include "common/osdep.h"

namespace {

// The reason the system would not keep `name` (one name of a path) as it is
// written, or null.
const char* NameProblem(const std::string& name) {
  if (name == "." || name == "..") return "has a name \".\" or \"..\", which is no folder of its own";
  if (name.back() == '.' || name.back() == ' ') {
    return "has a name that ends in a dot or a space, which Windows drops";
  }
  for (unsigned char c : name) {
    if (c < 0x20 || strchr("<>:\"/|?*", c)) return "has a name with a character that Windows does not allow";
  }
  if (windows_name_problem(name.c_str())) return "has a name that Windows keeps for a device";
  return nullptr;
}

}  // namespace

std::string SystemForm(const char* path) {
  if (!path || (!is_full_path(path) && !(path[0] && path[1] == ':' && path[2] == '/'))) return path ? path : "";
  char full[MAX_PATH * 2];
  const DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
  std::string form = n > 0 && n < sizeof full ? std::string(full, n) : std::string(path);
  for (char& c : form) {
    if (c == '/') c = '\\';
  }
  const size_t root = form.size() > 1 && form[1] == ':' ? 3 : 2;
  while (form.size() > root && form.back() == '\\') form.pop_back();
  if (form.size() > 1 && form[1] == ':') form[0] = static_cast<char>(toupper(static_cast<unsigned char>(form[0])));
  return form;
}

std::string CanonicalFolder(const char* path, std::string* why) {
  std::string text = path ? path : "";
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  auto refuse = [&](const std::string& reason) {
    if (why) *why = reason;
    return std::string();
  };
  if (text.empty() || !is_full_path(text.c_str()) || text.compare(0, 4, "\\\\?\\") == 0 ||
      text.compare(0, 4, "\\\\.\\") == 0) {
    return refuse("is not a full path.\nGive a drive's folder (C:\\...) or a network share's "
                  "(\\\\server\\share\\...).");
  }
  // The names after the drive (or the server and share), empty ones (a
  // doubled or trailing separator) passed over.
  size_t at = text[0] == '\\' ? 2 : 3;
  int names = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.find('\\', at), text.size());
    if (end > at) {
      const std::string name = text.substr(at, end - at);
      if (const char* problem = NameProblem(name)) {
        return refuse(std::string(problem) + ": \"" + name + "\".\nChoose another name.");
      }
      names++;
    }
    at = end + 1;
  }
  if (names < (text[0] == '\\' ? 3 : 1)) {
    return refuse("is the root of a drive or a share.\nAn installation needs a folder of its own: choose "
                  "a folder on it.");
  }
  return SystemForm(text.c_str());
}

bool SamePath(const std::string& a, const std::string& b) {
  return _stricmp(SystemForm(a.c_str()).c_str(), SystemForm(b.c_str()).c_str()) == 0;
}

bool PathBelow(const std::string& path, const std::string& folder) {
  const std::string p = SystemForm(path.c_str()), f = SystemForm(folder.c_str());
  if (f.empty() || p.size() <= f.size() || _strnicmp(p.c_str(), f.c_str(), f.size()) != 0) return false;
  // A drive's root ends in "\" already.
  return f.back() == '\\' || p[f.size()] == '\\';
}

std::string ProgramPath() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  return n == 0 || n >= sizeof path ? std::string() : std::string(path, n);
}

std::string ProgramFolder() {
  return ParentOf(ProgramPath());
}

std::string FromProgramFolder(const std::string& path) {
  const std::string folder = ProgramFolder();
  if (path.empty() || folder.empty() || is_full_path(path.c_str()) || path[1] == ':') return path;
  if (path[0] != '\\' && path[0] != '/') return SystemForm((folder + "\\" + path).c_str());
  // The drive ("C:") or the share ("\\server\share") the folder lies on.
  size_t root = 2;
  if (folder[0] == '\\') root = folder.find('\\', folder.find('\\', 2) + 1);
  return SystemForm((folder.substr(0, root) + path).c_str());
}

std::string ParentOf(const std::string& path) {
  const size_t slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}
