// The manifest's lines as the parser reads them: significant lines with
// "%InstDir%" expanded, one line of push-back, and the reverse of the
// expansion for the installed manifest. Needs no Windows, so that the fuzz
// targets read manifests through it too.
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/alloc.h"
#include "common/compat.h"
#include "wininst/core/variables.h"
#include "wininst/install/manifest.h"

namespace {

constexpr const char* kInstDirToken = "%InstDir%";
constexpr size_t kInstDirTokenLength = 9;

manifest::TextLines* lines;
char* pushed_back;

// The parser's view of the manifest lines: NextManifestLine and PushBackLine.
class ManifestLines : public manifest::LineSource {
 public:
  bool Next(std::string& line) override {
    char* l = NextManifestLine();
    if (!l) return false;
    line = l;
    free(l);
    return true;
  }
  void PushBack(const std::string& line) override { PushBackLine(line.c_str()); }
};

}  // namespace

bool WalkManifest(manifest::TextLines& text, manifest::Sink& sink) {
  lines = &text;
  free(pushed_back);
  pushed_back = nullptr;
  ManifestLines source;
  return manifest::Walk(source, sink);
}

char* NextManifestLine() {
  std::string line;
  if (pushed_back) {
    line = pushed_back;
    free(pushed_back);
    pushed_back = nullptr;
  } else if (!lines || !lines->Next(line)) {
    return nullptr;
  }
  return ExpandInstDir(line.c_str());
}

void PushBackLine(const char* line) {
  free(pushed_back);
  pushed_back = xstrdup(line);
}

char* ExpandInstDir(const char* text) {
  const char* inst_dir = GetVariable("InstDir");
  if (!inst_dir) return xstrdup(text);
  std::string out;
  for (const char* p = text; *p;) {
    // The text up to the next "%" as it stands: most lines have no token.
    const char* percent = p;
    while (*percent && *percent != '%') percent++;
    out.append(p, percent);
    p = percent;
    if (!*p) break;
    if (_strnicmp(p, kInstDirToken, kInstDirTokenLength) == 0) {
      out += inst_dir;
      p += kInstDirTokenLength;
    } else {
      out += *p++;
    }
  }
  if (out.size() > kMaxExpanded) out.resize(kMaxExpanded);
  return xstrdup(out.c_str());
}

char* CollapseInstDir(const char* text) {
  const char* inst_dir = GetVariable("InstDir");
  size_t n = inst_dir ? strlen(inst_dir) : 0;
  std::string out;
  for (const char* p = text; *p && out.size() < kMaxExpanded;) {
    // The first character must match exactly, the rest without regard to case.
    if (n > 0 && *p == inst_dir[0] && _strnicmp(p, inst_dir, n) == 0) {
      out += kInstDirToken;
      p += n;
    } else {
      out += *p++;
    }
  }
  if (out.size() > kMaxExpanded) out.resize(kMaxExpanded);
  return xstrdup(out.c_str());
}
