// Fetching one file named by an "http://" or "ftp://" address, through the
// system's Internet client and the proxy settings the system already has.
#pragma once

#include <cstdint>

// Told the bytes received so far and the total (the content length) after
// every block of a transfer whose length the server gave.
using download_progress = void (*)(uint32_t received, uint32_t total);
// Asked before the transfer and after every block: true stops the download
// (its file is deleted, nothing is shown).
using download_cancelled = bool (*)();

// Saves the file into `folder` (not empty) as a new file, under the name the
// server or the address gives (reduced to a plain file name; "download.exe"
// when none is usable), and returns its path (a new string), or null once
// the user has been told why (ShowNotice). A `pinned` file (one its caller
// knows by its digest) keeps the address's name: the server's counts only
// where the address gives none, and then with the extension ".exe".
// `progress` and `cancelled` may be null. A transfer that ends early, cannot
// be written or is cancelled leaves no file.
char* url_download(const char* url, const char* folder, download_progress progress,
                   download_cancelled cancelled = nullptr, bool pinned = false);
