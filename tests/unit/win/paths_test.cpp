// The path helpers against the Windows runtime's own file status query.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>

#include "common/osdep.h"
#include "wininst/core/paths.h"

namespace {

TEST(WinPaths, ExistsAndFolderThroughTheRuntime) {
  char temp[MAX_PATH];
  ASSERT_GT(GetTempPathA(sizeof temp, temp), 0u);
  std::string dir = std::string(temp) + "osdep_probe";
  CreateDirectoryA(dir.c_str(), nullptr);
  std::string file = dir + "\\file.txt";
  HANDLE h = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);

  EXPECT_EQ(file_exists(file.c_str()), 1);
  EXPECT_EQ(is_folder(file.c_str()), 0);
  EXPECT_EQ(is_folder(dir.c_str()), 1);
  EXPECT_EQ(file_exists((dir + "\\missing").c_str()), 0);
  EXPECT_EQ(is_folder((dir + "\\missing").c_str()), 0);

  char* joined = path_join((dir + "\\").c_str(), "\\file.txt");
  EXPECT_EQ(file_exists(joined), 1);
  free(joined);

  DeleteFileA(file.c_str());
  RemoveDirectoryA(dir.c_str());
}

// A file named on the medium is found from the program's own folder,
// whatever the current folder is.
TEST(WinPaths, MediumPathsFromTheProgramsFolder) {
  const std::string folder = ProgramFolder(), parent = ParentOf(folder);
  ASSERT_FALSE(parent.empty());
  SetCurrentDirectoryA(std::getenv("TEMP"));
  const std::string cases[][2] = {
      {"redist\\setup.exe", folder + "\\redist\\setup.exe"},
      {"..\\redist/setup.exe", parent + "\\redist\\setup.exe"},
      {"\\redist\\setup.exe", folder.substr(0, 2) + "\\redist\\setup.exe"},
      {"D:\\setup.exe", "D:\\setup.exe"},
      {"D:setup.exe", "D:setup.exe"},
      {"", ""}};
  for (const auto& [given, expected] : cases) {
    EXPECT_EQ(FromProgramFolder(given), expected) << given;
  }
}

}  // namespace
