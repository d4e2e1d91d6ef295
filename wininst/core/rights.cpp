#include "wininst/core/rights.h"

#include <windows.h>
#include <sddl.h>
#include <aclapi.h>

#include "common/handle.h"
#include "common/syslib.h"

std::optional<bool> MemberOfAdministrators() {
  using CheckMembership = BOOL(WINAPI*)(HANDLE token, PSID group, PBOOL member);
  // The program imports the library already: no search for it.
  auto check = SystemFunction<CheckMembership>(GetModuleHandleA("advapi32.dll"),
                                               "CheckTokenMembership");
  if (!check) return std::nullopt;
  SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!AllocateAndInitializeSid(&nt_authority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators)) {
    return false;
  }
  // A filtered token (not elevated) holds the group for denying only: no member.
  BOOL member = FALSE;
  if (!check(nullptr, administrators, &member)) member = FALSE;
  FreeSid(administrators);
  return member != FALSE;
}

namespace {
// Administrators and SYSTEM, for the folder and everything made in it; no
// rights inherited from the folder above.
constexpr const char* kPrivateRights = "D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
// The same, and Users may read and run (FILE_GENERIC_READ | FILE_GENERIC_EXECUTE).
constexpr const char* kInstallationRights = "O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)";
using LocalMemory = Handle<void*, LocalFree>;

// A folder made with `rights` in an elevated run; elsewhere as the system makes it.
bool CreateFolderWith(const char* path, const char* rights_text) {
  LocalMemory rights;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
  if (MemberOfAdministrators().value_or(false)) {
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(rights_text, SDDL_REVISION_1, rights.put(),
                                                              nullptr)) {
      return false;
    }
    attributes.lpSecurityDescriptor = rights.get();
  }
  return CreateDirectoryA(path, &attributes) != FALSE;
}

}  // namespace

bool CreatePrivateFolderAt(const char* path) {
  return CreateFolderWith(path, kPrivateRights);
}

bool CreateInstallationFolderAt(const char* path) {
  return CreateFolderWith(path, kInstallationRights);
}

bool SecureInstallationFolder(const char* path) {
  LocalMemory rights;
  if (!MemberOfAdministrators().value_or(false) ||
      !ConvertStringSecurityDescriptorToSecurityDescriptorA(kInstallationRights, SDDL_REVISION_1, rights.put(),
                                                            nullptr)) {
    return false;
  }
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  PSID owner = nullptr;
  GetSecurityDescriptorDacl(rights.get(), &present, &dacl, &defaulted);
  GetSecurityDescriptorOwner(rights.get(), &owner, &defaulted);
  // The owner apart: a system that keeps no owner of its own still takes the rights.
  SetNamedSecurityInfoA(const_cast<char*>(path), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner, nullptr,
                        nullptr, nullptr);
  return SetNamedSecurityInfoA(const_cast<char*>(path), SE_FILE_OBJECT,
                               DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                               dacl, nullptr) == ERROR_SUCCESS;
}
