#include "tools/mkinst/scan.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "tools/mkinst/plan.h"
#include "wininst/install/manifest_rules.h"

namespace fs = std::filesystem;

namespace mkinst {

namespace {

// Why a line of [Features] holding `text` would not be read back as it
// stands, as a folder or file line; empty when it would.
std::string LineFault(const std::string& text) {
  if (manifest::Trim(text) != text) return "white space at its start is dropped from the line";
  if (text[0] == ';') return "a line beginning with \";\" is a comment";
  if (text[0] == '[') return "a line beginning with \"[\" starts a section";
  std::vector<std::string> keys = manifest::FeatureKeys();
  keys.push_back("Digest=");
  for (const std::string& key : keys) {
    if (HasPrefix(text.c_str(), key.c_str())) return "the line would be read as the key " + key;
  }
  return "";
}

// Why the file `name` in `folder` (names apart by "\", empty for the folder
// itself) can't be listed; empty when it can.
std::string Fault(const std::string& folder, const std::string& name) {
  for (size_t start = 0; start < folder.size();) {
    const size_t end = std::min(folder.find('\\', start), folder.size());
    const std::string fault = NameFault(folder.substr(start, end - start));
    if (!fault.empty()) return fault;
    start = end + 1;
  }
  std::string fault = NameFault(name);
  if (fault.empty() && !folder.empty()) fault = LineFault(folder);
  if (fault.empty()) fault = LineFault(name);
  const size_t length = folder.empty() ? name.size() : folder.size() + 1 + name.size();
  if (fault.empty() && length > kRelativePathLimit) {
    fault = "longer than " + std::to_string(kRelativePathLimit) +
            " characters below the installation folder";
  }
  return fault;
}

// The order of the lines: names compared as Windows compares them (case
// ignored), the bytes deciding between names that differ only in case.
bool Before(const std::string& a, const std::string& b) {
  const std::string la = manifest::Lower(a), lb = manifest::Lower(b);
  return la != lb ? la < lb : a < b;
}

}  // namespace

int ScanFolder(const fs::path& folder) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    fprintf(stderr, "mkinst: no such folder: %s\n", folder.string().c_str());
    return 1;
  }
  // Folder ("\" between names) -> its files, as the manifest names them.
  std::map<std::string, std::vector<std::string>, decltype(&Before)> found(&Before);
  int refused = 0;
  auto refuse = [&](const fs::path& path, const std::string& why) {
    fprintf(stderr, "mkinst: %s: %s; not listed\n", path.string().c_str(), why.c_str());
    refused++;
  };
  fs::recursive_directory_iterator it(folder, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const fs::path& path = it->path();
    std::error_code type_ec;
    if (it->is_directory(type_ec)) {
      // Not followed: a link could lead back up, or out of the product.
      if (it->is_symlink(type_ec)) refuse(path, "a link to a folder, not followed");
      continue;
    }
    if (!it->is_regular_file(type_ec)) {
      refuse(path, "not a regular file");
      continue;
    }
    std::string relative, name;
    try {
      // The manifest holds names in the system code page, as does this form.
      relative = path.parent_path().lexically_relative(folder).generic_string();
      name = path.filename().string();
    } catch (const std::system_error&) {
      refuse(path, "its name has characters the system code page cannot write");
      continue;
    }
    if (relative == ".") relative.clear();
    std::replace(relative.begin(), relative.end(), '/', '\\');
    found[relative].push_back(name);
  }
  if (ec) {
    fprintf(stderr, "mkinst: %s: %s\n", folder.string().c_str(), ec.message().c_str());
    return 1;
  }
  // Each path as Windows finds it (case ignored): the first spelling listed.
  std::map<std::string, std::string> seen;
  for (auto& [relative, names] : found) {
    std::sort(names.begin(), names.end(), Before);
    std::vector<std::string> lines;
    for (const std::string& name : names) {
      const std::string inside = relative.empty() ? name : relative + "\\" + name;
      const fs::path path = folder / fs::path(relative.empty() ? name : relative + "/" + name);
      std::string fault = Fault(relative, name);
      auto [first, added] = seen.try_emplace(manifest::Lower(inside), inside);
      if (fault.empty() && !added) fault = "Windows takes it for " + first->second;
      if (!fault.empty()) {
        refuse(path, fault);
        continue;
      }
      lines.push_back(name);
    }
    if (lines.empty()) continue;
    std::string folder_line = relative;
    std::replace(folder_line.begin(), folder_line.end(), '\\', '/');
    printf("%s/\n", folder_line.c_str());
    for (const std::string& line : lines) printf("%s\n", line.c_str());
  }
  return refused ? 1 : 0;
}

}  // namespace mkinst
