// rights_probe.exe OUT PATTERN: for every folder that PATTERN (a path with
// wildcards in its last part) matches, writes a line to OUT: the folder's
// name, a TAB and the rights of its security descriptor as text (the DACL
// in the system's string form). A folder with rights of its own shows "P".
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  FILE* out = fopen(argv[1], "w");
  if (!out) return 2;
  std::string folder = argv[2];
  folder.resize(folder.rfind('\\') + 1);
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(argv[2], &found);
  for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileA(find, &found)) {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    char* text = nullptr;
    if (GetNamedSecurityInfoA((folder + found.cFileName).c_str(), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                              &descriptor) == ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1,
                                                             DACL_SECURITY_INFORMATION, &text,
                                                             nullptr)) {
      fprintf(out, "%s\t%s\n", found.cFileName, text);
    } else {
      fprintf(out, "%s\t?\n", found.cFileName);
    }
    LocalFree(text);
    LocalFree(descriptor);
  }
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
  fclose(out);
  return 0;
}
