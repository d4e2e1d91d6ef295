#include "common/download.h"

#include "common/alloc.h"

#include <windows.h>
#include <wininet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/compat.h"
#include "common/handle.h"
#include "common/osdep.h"
#include "common/syslib.h"
#include "common/messages.h"

namespace {

// The Internet client is no known system library: loaded from the system
// folder at the first download, never found by name beside the program.
struct WinInet {
  WinInet() {
    HMODULE m = LoadSystemLibrary("wininet.dll");
#define WININET_FUNCTION(name) name = SystemFunction<decltype(&::name)>(m, #name)
    WININET_FUNCTION(InternetOpenA);
    WININET_FUNCTION(InternetConnectA);
    WININET_FUNCTION(InternetCloseHandle);
    WININET_FUNCTION(InternetReadFile);
    WININET_FUNCTION(InternetErrorDlg);
    WININET_FUNCTION(FtpOpenFileA);
    WININET_FUNCTION(FtpGetFileSize);
    WININET_FUNCTION(FtpFindFirstFileA);
    WININET_FUNCTION(HttpOpenRequestA);
    WININET_FUNCTION(HttpSendRequestA);
    WININET_FUNCTION(HttpQueryInfoA);
#undef WININET_FUNCTION
    complete = InternetOpenA && InternetConnectA && InternetCloseHandle && InternetReadFile &&
               InternetErrorDlg && FtpOpenFileA && FtpGetFileSize && FtpFindFirstFileA && HttpOpenRequestA &&
               HttpSendRequestA && HttpQueryInfoA;
  }
  decltype(&::InternetOpenA) InternetOpenA;
  decltype(&::InternetConnectA) InternetConnectA;
  decltype(&::InternetCloseHandle) InternetCloseHandle;
  decltype(&::InternetReadFile) InternetReadFile;
  decltype(&::InternetErrorDlg) InternetErrorDlg;
  decltype(&::FtpOpenFileA) FtpOpenFileA;
  decltype(&::FtpGetFileSize) FtpGetFileSize;
  decltype(&::FtpFindFirstFileA) FtpFindFirstFileA;
  decltype(&::HttpOpenRequestA) HttpOpenRequestA;
  decltype(&::HttpSendRequestA) HttpSendRequestA;
  decltype(&::HttpQueryInfoA) HttpQueryInfoA;
  bool complete;
};

const WinInet& Net() {
  static const WinInet functions;
  return functions;
}

void CloseInternet(HINTERNET h) {
  Net().InternetCloseHandle(h);
}
using NetHandle = Handle<HINTERNET, CloseInternet>;

// The name a download is saved under when neither the server nor the
// address gives a usable one.
constexpr const char* kDefaultName = "download.exe";
// The listed size of a transfer that is no FTP one.
constexpr uint32_t kNotFtp = UINT32_MAX;
// Longer names are refused: with the folder they would pass the limits of paths.
constexpr size_t kNameLimit = 100;

// For the reads and for the Content-Disposition header.
constexpr DWORD kBufferSize = 16384;
// The transfer's buffer, for the reads and for the Content-Disposition header.
RunBuffer<char, kBufferSize> transfer;

int LastError() {
  return static_cast<int>(GetLastError());
}

// A file name as the server or the address gives it, reduced to its last
// component after any "\", "/" or ":": whatever it says, the file lands in
// the destination folder. Empty when nothing usable is left: a name Windows
// would not keep as it stands (windows_name_problem: none, "." or "..", a
// device's name, a character no file name may hold, a dot or a space at its
// end), or a name too long for a path.
std::string SafeName(const std::string& name) {
  const size_t cut = name.find_last_of("\\/:");
  std::string tail = cut == std::string::npos ? name : name.substr(cut + 1);
  if (tail.size() > kNameLimit || windows_name_problem(tail.c_str())) return {};
  return tail;
}

// The quoted file name of a Content-Disposition header; empty when there is
// none.
std::string DispositionName(const char* header) {
  const char* p = strstr(header, "filename=\"");
  if (!p) return {};
  p += strlen("filename=\"");
  while (*p == '"') p++;
  const char* end = strchr(p, '"');
  return std::string(p, end ? end : p + strlen(p));
}

// Sends the GET request, again after the proxy log-on when the proxy asks
// for one, and checks the answer; `given` is the file name the answer's
// Content-Disposition gives, if any. False once the user has been told why.
bool SendRequest(HINTERNET internet, const std::string& host, const char* object,
                 NetHandle& connection, NetHandle& request, std::string& given) {
  const WinInet& net = Net();
  connection.reset(net.InternetConnectA(internet, host.c_str(), INTERNET_DEFAULT_HTTP_PORT, nullptr,
                                        nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) {
    ShowNotice("InternetConnect failed: %d", LastError());
    return false;
  }
  request.reset(net.HttpOpenRequestA(connection.get(), "GET", object, nullptr, nullptr, nullptr,
                                     INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI, 0));
  if (!request) {
    ShowNotice("HttpOpen request failed: %d", LastError());
    return false;
  }
  DWORD status = 0;
  for (;;) {
    if (!net.HttpSendRequestA(request.get(), nullptr, 0, nullptr, 0)) {
      ShowNotice("HttpSendRequest failed: %d", LastError());
      return false;
    }
    DWORD size = sizeof status, index = 0;
    if (!net.HttpQueryInfoA(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                            &size, &index)) {
      ShowNotice("HttpQueryInfo failed: %d", LastError());
      return false;
    }
    if (status != HTTP_STATUS_PROXY_AUTH_REQ) break;
    const DWORD flags = FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                        FLAGS_ERROR_UI_FLAGS_GENERATE_DATA;
    if (net.InternetErrorDlg(GetTopWindow(nullptr), request.get(), ERROR_SUCCESS, flags,
                             nullptr) != ERROR_INTERNET_FORCE_RETRY) {
      break;
    }
  }
  if (status > 299) {
    ShowNotice("Server error %d while downloading", static_cast<int>(status));
    return false;
  }
  char* header = transfer.get();
  DWORD size = kBufferSize, index = 0;
  if (net.HttpQueryInfoA(request.get(), HTTP_QUERY_CONTENT_DISPOSITION, header, &size, &index)) {
    header[size < kBufferSize ? size : kBufferSize - 1] = '\0';
    given = SafeName(DispositionName(header));
  }
  return true;
}

// The name a download is saved under. A pinned file's extension decides how
// the shell runs its bytes (an .exe, a .cmd, a .com): the server never
// chooses it. It keeps the address's name; only where the address names
// none does the server's name count, with the default's extension.
std::string SavedName(const std::string& address, const std::string& server, bool pinned) {
  if (!server.empty() && !pinned) return server;
  if (!address.empty()) return address;
  if (server.empty()) return kDefaultName;
  return server.substr(0, server.rfind('.')) + strrchr(kDefaultName, '.');
}

// The size of the FTP file at `object` as the server lists it (asked before
// the file is opened: the connection serves one command at a time); 0 when
// it cannot tell. Servers without the size command answer this way too.
uint32_t ListedSize(HINTERNET connection, const char* object) {
  WIN32_FIND_DATAA found{};
  NetHandle find(Net().FtpFindFirstFileA(connection, object, &found, INTERNET_FLAG_RELOAD, 0));
  return find && found.nFileSizeHigh == 0 ? found.nFileSizeLow : 0;
}

// The transfer's length; 0 when the server gives none. An FTP server is
// asked for the file's size (or has listed it), so that a transfer cut
// short is noticed there too.
uint32_t ContentLength(HINTERNET request, uint32_t listed) {
  if (listed != kNotFtp) {
    DWORD high = 0;
    const DWORD low = Net().FtpGetFileSize(request, &high);
    return low == INVALID_FILE_SIZE || low == 0 || high != 0 ? listed : low;
  }
  char text[32];
  DWORD size = sizeof text, index = 0;
  if (!Net().HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, &index)) return 0;
  text[size < sizeof text ? size : sizeof text - 1] = '\0';
  return static_cast<uint32_t>(strtoul(text, nullptr, 10));
}

// Copies the transfer into a new file at `path`: one that is there already
// (whoever put it there) is never written to. A transfer that ends early or
// cannot be written is a failed download: the partial file is deleted, since
// a truncated installer must never be started.
bool Receive(HINTERNET request, const char* path, uint32_t length, download_progress progress,
             download_cancelled cancelled) {
  HANDLE file =
      CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ShowNotice("Can't create file: %s: %d", path, errno_of(GetLastError()));
    return false;
  }
  char* buffer = transfer.get();
  uint32_t received = 0;
  int read_error = 0, write_error = 0;
  for (;;) {
    if (cancelled && cancelled()) {
      CloseHandle(file);
      DeleteFileA(path);
      return false;
    }
    DWORD got = 0;
    if (!Net().InternetReadFile(request, buffer, kBufferSize, &got)) {
      read_error = LastError();
      break;
    }
    if (got == 0) break;
    DWORD written = 0;
    if (!WriteFile(file, buffer, got, &written, nullptr) || written != got) {
      write_error = errno_of(GetLastError());
      break;
    }
    received += got;
    if (progress && length) progress(received, length);
  }
  if (!CloseHandle(file) && !write_error) write_error = errno_of(GetLastError());
  if (!read_error && !write_error && (!length || received >= length)) return true;
  DeleteFileA(path);
  if (write_error) {
    ShowNotice("Can't write file: %s: %d", path, write_error);
  } else if (read_error) {
    ShowNotice("InternetReadFile failed: %d", read_error);
  } else {
    ShowNotice("Transfer ended early: %u of %u bytes received", received, length);
  }
  return false;
}

}  // namespace

char* url_download(const char* url, const char* folder, download_progress progress,
                   download_cancelled cancelled, bool pinned) {
  // A scheme is the same in any case (HTTP:// as http://).
  const bool ftp = _strnicmp(url, "ftp://", 6) == 0;
  if (!ftp && _strnicmp(url, "http://", 7) != 0) {
    ShowNotice("Must start with http:// or ftp://");
    return nullptr;
  }
  const std::string address_name = SafeName(strrchr(url, '/') + 1);
  std::string server_name;
  const char* host_start = url + (ftp ? 6 : 7);
  const char* object = strchr(host_start, '/');
  if (!object) {
    ShowNotice("No host part\n");
    return nullptr;
  }
  const std::string host(host_start, object);

  const WinInet& net = Net();
  if (!net.complete) {
    ShowNotice("InternetOpen failed: %d", LastError());
    return nullptr;
  }
  // Closed in the reverse order: the request or file, the connection, the
  // Internet handle.
  NetHandle internet(
      net.InternetOpenA("URL_download", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!internet) {
    ShowNotice("InternetOpen failed: %d", LastError());
    return nullptr;
  }
  NetHandle connection, request;
  uint32_t listed = kNotFtp;
  if (ftp) {
    connection.reset(net.InternetConnectA(internet.get(), host.c_str(), INTERNET_DEFAULT_FTP_PORT,
                                          nullptr, nullptr, INTERNET_SERVICE_FTP, 0, 0));
    if (!connection) {
      ShowNotice("InternetConnect failed: %d", LastError());
      return nullptr;
    }
    listed = ListedSize(connection.get(), object);
    request.reset(
        net.FtpOpenFileA(connection.get(), object, GENERIC_READ, FTP_TRANSFER_TYPE_BINARY, 0));
    if (!request) {
      ShowNotice("FtpOpenFile failed: %d", LastError());
      return nullptr;
    }
  } else if (!SendRequest(internet.get(), host, object, connection, request, server_name)) {
    return nullptr;
  }
  const uint32_t length = ContentLength(request.get(), listed);
  char* path = path_join(folder, SavedName(address_name, server_name, pinned).c_str());
  if (!Receive(request.get(), path, length, progress, cancelled)) {
    free(path);
    return nullptr;
  }
  return path;
}
