// Reading a shell link (.lnk) back for the read_link step, as Windows would
// honour it: the show command and the hotkey come from the file's header,
// the rest through IShellLinkA. The step and its record are documented at
// the top of driver.cpp.
#pragma once

#include "tests/driver/base.h"

#include <string>

namespace ui {

struct ShellLink {
  std::string target, arguments, working_dir, icon_path;
  int icon_index = 0;
  std::string description;
  DWORD show_cmd = 0;  // the header's, at offset 0x3C
  int hotkey = 0;      // the header's, at offset 0x40
};

ShellLink read_link(const std::string& path);

}  // namespace ui
