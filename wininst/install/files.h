// Folders and files that an installation makes on disk, shared by the
// install engine, the shortcuts and the installed manifest.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class Placement;
class Transaction;

// Creates the folder and its missing parents (never a drive root), named in
// the run's journal (in one write) before the first is made and recorded in
// CreatedFolders, outermost first; holds the folders on the way (links.h).
// True when it created the folder, false when it existed; a file in its
// place is fatal.
// `named`: the folders missing on the way were named in the journal
// already (with the rest of a feature's folders and files).
bool CreateFolderTree(Transaction& transaction, const char* path, bool named = false);
// The folders missing on the way to `path` (it included), outermost first,
// in the system's form; never a drive's or a share's root.
std::vector<std::string> MissingFolders(const char* path);
// Whether the installation goes over a previous one in the same folder:
// then CreateFolderTree records the folders it finds there too.
void RecordFoundFolders(bool over_previous);
// Copies the first `size` bytes of `source` (read from `opened` when that is
// given, a stream the copy closes) to `destination` (of `placement`) and
// records the destination in InstalledFiles; `edit` may change each chunk
// (its bytes from an offset on, and their count) before it is written.
// Failures are fatal.
void CopyFileInto(Placement& placement, const char* source, const char* destination, uint32_t size,
                  FILE* opened = nullptr, void (*edit)(uint8_t*, uint32_t, uint32_t) = nullptr);
