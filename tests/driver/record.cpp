// The record writer; see record.h, and the top of driver.cpp for the records.
#include "tests/driver/record.h"

#include <cstdint>

namespace ui {

std::string quote(std::string_view s) {
  std::string out = "\"";
  for (const unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", c);
          out += esc;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + '"';
}

std::string json_list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
  return out + "]";
}

std::string json_rect(const RECT& r) {
  return json_list({std::to_string(r.left), std::to_string(r.top), std::to_string(r.right),
                    std::to_string(r.bottom)});
}

long long handle_number(HWND h) {
  return static_cast<long long>(reinterpret_cast<uintptr_t>(h));
}

void Output::write(int step, std::string_view what, const Object& fields) {
  Object head;
  head.num("step", step)
      .str("do", what)
      .num("at_ms", static_cast<long long>(GetTickCount64() - start_));
  std::string line = "{" + head.members();
  if (!fields.members().empty()) line += "," + fields.members();
  line += "}\n";
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

}  // namespace ui
