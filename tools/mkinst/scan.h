// mkinst --scan: the folder and file lines of a product's files, ready to
// paste under a feature of its manifest.
#pragma once

#include <filesystem>

namespace mkinst {

// Writes the lines for every file below `folder` to stdout, sorted: a folder
// line in the manifest's form ("/" for the folder itself, "bin/",
// "bin/sub/"), then the names of its files. A file the manifest cannot list
// as it stands (a name Windows changes or reserves, two names Windows takes
// for one, a path too long, a name the installer would read as a key, a
// comment or a section) goes to stderr instead. 0 when every file is
// listed, 1 otherwise.
int ScanFolder(const std::filesystem::path& folder);

}  // namespace mkinst
