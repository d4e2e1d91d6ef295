// download_probe.exe: fetches addresses with the installer's download.
//
//   download_probe.exe FOLDER REPORT URL...
//
// saves each URL into FOLDER and appends to REPORT a line: the saved path
// (or "-"), the number of progress calls, the last call's two numbers, and 1
// when the received counts only grew. Failures show the installer's notices.
#include <cstdio>

#include "common/download.h"

namespace {
unsigned calls, received, total, growing;
void Progress(uint32_t r, uint32_t t) {
  growing &= r > received;
  calls++, received = r, total = t;
}
}  // namespace

int main(int argc, char** argv) {
  for (int i = 3; i < argc; i++) {
    calls = received = total = 0, growing = 1;
    char* saved = url_download(argv[i], argv[1], Progress);
    FILE* report = fopen(argv[2], "a");
    if (!report) return 2;
    fprintf(report, "%s\t%u\t%u\t%u\t%u\n", saved ? saved : "-", calls, received, total, growing);
    fclose(report);
  }
  return argc < 3 ? 2 : 0;
}
