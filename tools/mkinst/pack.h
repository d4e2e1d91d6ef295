// Writing the installer: the padded stub, the archive header, one gzip
// member of records, the filecheck and the optional referral tag.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/mkinst/plan.h"
#include "wininst/install/archive_format.h"

namespace mkinst {

struct Stub {
  // The stub as packed: its image with the checksum and the certificate
  // table's entry cleared, the device helper when it has one, zeros, and
  // the stub record at the end of the stub length.
  std::vector<uint8_t> bytes;
  uint32_t headersize = 0;  // SizeOfHeaders of its PE headers
  archive::StubRecordFields record;
};

// Reads a stub and pads it; false with a message when it can't be used.
bool LoadStub(const std::filesystem::path& path, Stub& stub, std::string& error);
// The same checks on bytes already in memory. A stub that carries a code
// signature keeps it for the installed copy: its certificate table must end
// its bytes, as signing tools put it.
bool PrepareStub(std::vector<uint8_t> bytes, Stub& stub, std::string& error);
// Places the 64-bit device helper (a PE32+ program) after the stub's image,
// for installers with a driver.
bool AttachDeviceHelper(Stub& stub, std::vector<uint8_t> helper, std::string& error);
// Runs `command` through the system's shell on a copy of the stub file in
// a new temporary folder, "%1" in it replaced by the copy's path (quoted
// when it must be), and reads the copy back: a signing tool signs it in
// place. False with a message when the command fails or leaves the copy
// without a certificate table.
bool SignStub(const std::string& command, const std::filesystem::path& stub,
              std::vector<uint8_t>& bytes, std::string& error);
// Whether a feature of the planned manifest installs a driver.
bool HasDriver(const Plan& plan);
// Reads a whole file; false with the system's reason.
bool ReadWhole(const std::filesystem::path& path, std::vector<uint8_t>& bytes, std::string& error);

// The manifest signature of a prepared stub.
std::string StubSignature(const Stub& stub);

struct PackOptions {
  int level = 9;
  // Compressing threads; 0: one per core. The output is the same for any number.
  unsigned threads = 0;
  std::optional<uint16_t> referral;
  // Replaces the signature line (tests only).
  std::optional<std::string> signature;
  // The header counts the covered stretch in 32 bits.
  uint64_t max_setuplen = UINT32_MAX;
  // Called now and then with the bytes packed so far and in all.
  std::function<void(uint64_t done, uint64_t total)> progress;
};

// Writes the installer to a temporary file beside `out` and renames it at
// the end; on failure nothing is left behind and the reasons are in
// `diagnostics` (line-bound ones as "MANIFEST:LINE: ...").
bool WriteInstaller(const Stub& stub, const Plan& plan, const PackOptions& options,
                    const std::filesystem::path& out, Diagnostics& diagnostics,
                    std::vector<std::string>& errors);

// Removes a half-written temporary file (the console Fatal and the signal
// handlers call it). Safe to call at any time.
void RemovePendingOutput();

}  // namespace mkinst
