// The installer archive in the program's own file: integrity check, the
// compressed record stream and the run's file lists.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "wininst/install/archive_format.h"

struct Vec;

// One file that the installation copies into its resources folder.
struct Resource {
  char* file_name;    // name in the resources folder; its full path once copied
  char* source_path;  // where the bytes are now
  char* variable;     // variable naming the current path, or null
  uint32_t size;      // bytes to copy
  bool from_program;  // the program's own file (setup.exe): read through OpenProgramFile
};

// The resources (Resource*): the program itself (setup.exe), then one for
// each line of the manifest's [Resources] section, in order.
Vec* Resources();

// The referral number in the last bytes of the program's file; false when
// they hold no valid tag.
bool ReadReferralTag(uint16_t& number);

// The manifest signature of this run: 32 upper-case hex digits.
const char* ManifestSignature();
// The MD5 digest (hex) of the installed manifest that a run without an archive
// read, or null.
const char* InstalledManifestDigest();
// The MD5 digest (hex) of a file; empty when it cannot be read.
std::string FileDigest(const char* path);
// The check of an installed manifest as an installation records it: the
// SHA-256 of its bytes, in upper-case hexadecimal (empty when they cannot
// be read).
std::string ManifestCheckOf(const void* data, size_t length);
std::string FileManifestCheck(const char* path);
// Whether a recorded check (the SHA-256, or the MD5 that installations
// made before recorded) is that of `data`.
bool ManifestCheckMatches(const std::string& check, const void* data, size_t length);
// The same for the installed manifest this run read.
bool InstalledManifestMatches(const std::string& check);
// The program's own file from its first byte, through the descriptor that
// was opened and checked when the run began (the file at the program's path
// may have been swapped since); a new stream, or null without an archive.
FILE* OpenProgramFile();

// Puts the stub's own checksum and certificate table entry, which signing
// the whole installer rewrote, back into a chunk of the installed copy of
// the program (its `length` bytes from `offset` on), as the stub record
// keeps them.
void RestoreStubHeaders(uint8_t* chunk, uint32_t offset, uint32_t length);
// The 64-bit device helper that an installer with a driver carries, copied
// on the first call into the run's temporary folder; its path, or null with
// the system's last error set when there is none or it can't be written.
const char* DeviceHelper();

// Starts checking the filecheck of the archive in the program's own file
// beside the caller; OpenArchive takes its result. Nothing for a program
// without an archive.
void StartFilecheck();
// Creates the run's lists and temporary folder, finds and checks the archive
// in the program's own file and returns its manifest record; a program
// without an archive returns the installed manifest beside it instead (and
// sets InstDir when it runs from a resources folder). Failures are fatal.
char* OpenArchive();
uint32_t ReadRecordLength();
char* ReadManifestRecord();
class Placement;
// Consumes the next record into `path`, or discards it when path is null.
// With a placement the file takes its place in the installation (the
// caller records it as the installation's): a file there that holds the
// record's very bytes stays as it is. Without one it is a new file of the
// run's temporary folder, noted nowhere.
void ExtractRecord(const char* path, uint32_t size, Placement* placement = nullptr);
// Extracts the resources of the manifest's [Resources] lines into the
// temporary folder: their records follow the manifest record.
void ExtractResources();
// Closes the record stream once the last feature record has been consumed.
void CloseArchive();

// Steps of OpenArchive, also run alone by the filecheck probe.
// Scans the file open on `fd` for the archive header from the minimum stub
// length on, in steps of the grid; false when there is none.
bool FindArchiveHeader(int fd, archive::HeaderFields& header);
// Checks the filecheck of the covered stretch; every failure is fatal.
void VerifyFilecheck(int fd, uint32_t headersize, uint32_t setuplen);
