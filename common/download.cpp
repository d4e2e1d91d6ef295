#include "common/download.h"

#include "common/alloc.h"

#include <windows.h>
#include <wininet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/handle.h"
#include "common/osdep.h"
#include "wininst/core/messages.h"

namespace {

using Net = Handle<HINTERNET, InternetCloseHandle>;

// For the reads and for the Content-Disposition header.
constexpr DWORD kBufferSize = 16384;
// The transfer's buffer, for the reads and for the Content-Disposition header.
RunBuffer<char, kBufferSize> transfer;

int LastError() {
  return static_cast<int>(GetLastError());
}

// A file name as the server or the address gives it, reduced to its last
// path component: whatever it says, the file lands in the destination folder.
// Empty when nothing usable is left.
std::string LastComponent(const std::string& name) {
  std::string tail = path_tail(name.c_str());
  return tail == "." || tail == ".." ? std::string() : tail;
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
// for one, and checks the answer. False once the user has been told why.
bool SendRequest(HINTERNET internet, const std::string& host, const char* object, Net& connection,
                 Net& request, std::string& name) {
  connection.reset(InternetConnectA(internet, host.c_str(), INTERNET_DEFAULT_HTTP_PORT, nullptr,
                                    nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) {
    ShowNotice("InternetConnect failed: %d", LastError());
    return false;
  }
  request.reset(HttpOpenRequestA(connection.get(), "GET", object, nullptr, nullptr, nullptr,
                                 INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI, 0));
  if (!request) {
    ShowNotice("HttpOpen request failed: %d", LastError());
    return false;
  }
  DWORD status = 0;
  for (;;) {
    if (!HttpSendRequestA(request.get(), nullptr, 0, nullptr, 0)) {
      ShowNotice("HttpSendRequest failed: %d", LastError());
      return false;
    }
    DWORD size = sizeof status, index = 0;
    if (!HttpQueryInfoA(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                        &size, &index)) {
      ShowNotice("HttpQueryInfo failed: %d", LastError());
      return false;
    }
    if (status != HTTP_STATUS_PROXY_AUTH_REQ) break;
    const DWORD flags = FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                        FLAGS_ERROR_UI_FLAGS_GENERATE_DATA;
    if (InternetErrorDlg(GetTopWindow(nullptr), request.get(), ERROR_SUCCESS, flags, nullptr) !=
        ERROR_INTERNET_FORCE_RETRY) {
      break;
    }
  }
  if (status > 299) {
    ShowNotice("Server error %d while downloading", static_cast<int>(status));
    return false;
  }
  char* header = transfer.get();
  DWORD size = kBufferSize, index = 0;
  if (HttpQueryInfoA(request.get(), HTTP_QUERY_CONTENT_DISPOSITION, header, &size, &index)) {
    header[size < kBufferSize ? size : kBufferSize - 1] = '\0';
    std::string given = LastComponent(DispositionName(header));
    if (!given.empty()) name = given;
  }
  return true;
}

// The content length, 0 when the answer gives none (an FTP file never does).
uint32_t ContentLength(HINTERNET request) {
  char text[32];
  DWORD size = sizeof text, index = 0;
  if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, &index)) return 0;
  text[size < sizeof text ? size : sizeof text - 1] = '\0';
  return static_cast<uint32_t>(strtoul(text, nullptr, 10));
}

// Copies the transfer into the file at `path`. A transfer that ends early or
// cannot be written is a failed download: the partial file is deleted, since
// a truncated installer must never be started.
bool Receive(HINTERNET request, const char* path, uint32_t length, download_progress progress) {
  FileHandle file(fopen(path, "wb"));
  if (!file) {
    ShowNotice("Can't create file: %s: %d", path, errno);
    return false;
  }
  char* buffer = transfer.get();
  uint32_t received = 0;
  int read_error = 0, write_error = 0;
  for (;;) {
    DWORD got = 0;
    if (!InternetReadFile(request, buffer, kBufferSize, &got)) {
      read_error = LastError();
      break;
    }
    if (got == 0) break;
    if (fwrite(buffer, 1, got, file.get()) != got) {
      write_error = errno;
      break;
    }
    received += got;
    if (progress && length) progress(received, length);
  }
  if (fclose(file.release()) != 0 && !write_error) write_error = errno;
  if (!read_error && !write_error && (!length || received >= length)) return true;
  remove(path);
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

char* url_download(const char* url, const char* folder, download_progress progress) {
  const bool ftp = strncmp(url, "ftp://", 6) == 0;
  if (!ftp && strncmp(url, "http://", 7) != 0) {
    ShowNotice("Must start with http:// or ftp://");
    return nullptr;
  }
  std::string name = LastComponent(strrchr(url, '/') + 1);
  const char* host_start = url + (ftp ? 6 : 7);
  const char* object = strchr(host_start, '/');
  if (!object) {
    ShowNotice("No host part\n");
    return nullptr;
  }
  const std::string host(host_start, object);

  // Closed in the reverse order: the request or file, the connection, the
  // Internet handle.
  Net internet(InternetOpenA("URL_download", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!internet) {
    ShowNotice("InternetOpen failed: %d", LastError());
    return nullptr;
  }
  Net connection, request;
  if (ftp) {
    connection.reset(InternetConnectA(internet.get(), host.c_str(), INTERNET_DEFAULT_FTP_PORT,
                                      nullptr, nullptr, INTERNET_SERVICE_FTP, 0, 0));
    if (!connection) {
      ShowNotice("InternetConnect failed: %d", LastError());
      return nullptr;
    }
    request.reset(
        FtpOpenFileA(connection.get(), object, GENERIC_READ, FTP_TRANSFER_TYPE_BINARY, 0));
    if (!request) {
      ShowNotice("FtpOpenFile failed: %d", LastError());
      return nullptr;
    }
  } else if (!SendRequest(internet.get(), host, object, connection, request, name)) {
    return nullptr;
  }
  const uint32_t length = ContentLength(request.get());
  char* path = path_join(folder, name.c_str());
  if (!Receive(request.get(), path, length, progress)) {
    free(path);
    return nullptr;
  }
  return path;
}
