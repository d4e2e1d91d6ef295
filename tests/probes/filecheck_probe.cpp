// Runs the stub's own filecheck code on an installer file, for the benchmark
// and the MD5 cross-check:
//
//   filecheck_probe.exe time INSTALLER RUNS   seconds of each verification, one a line
//   filecheck_probe.exe md5 FILE              the CryptoAPI MD5 of the whole file
//
// A failed check ends with the installer's own fatal box and exit code 1.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/md5.h"
#include "wininst/install/archive.h"

namespace {

int Time(const char* path, int runs) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  for (int i = 0; i < runs; i++) {
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    int fd = _open(path, _O_RDONLY | _O_BINARY);
    if (fd < 0) return 2;
    archive::HeaderFields header;
    if (!FindArchiveHeader(fd, header)) return 3;
    VerifyFilecheck(fd, header.headersize, header.setuplen);
    _close(fd);
    QueryPerformanceCounter(&end);
    printf("%u %.6f\n", header.setuplen,
           static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart);
  }
  return 0;
}

int Digest(const char* path) {
  FILE* f = fopen(path, "rb");
  if (!f) return 2;
  Md5 md5;
  static char buffer[archive::kFilecheckChunk];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) md5.Update(buffer, n);
  fclose(f);
  uint8_t digest[Md5::kDigestLength];
  if (!md5.Final(digest)) return 3;
  for (uint8_t b : digest) printf("%02x", b);
  printf("\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "time") == 0) return Time(argv[2], atoi(argv[3]));
  if (argc == 3 && strcmp(argv[1], "md5") == 0) return Digest(argv[2]);
  fprintf(stderr, "usage: filecheck_probe time INSTALLER RUNS | md5 FILE\n");
  return 2;
}
