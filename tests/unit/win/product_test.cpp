// The installed-version lookup and the headless version check against the
// prefix's real registry, below HKLM\SOFTWARE\MeridoxTests. The key names
// that are fixed at first use (and ShortVersion) are shared with the whole
// test program, so these tests only use what is built anew on every call;
// the registration itself is checked through product_probe.exe.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "wininst/core/product.h"
#include "wininst/core/runmode.h"
#include "wininst/core/variables.h"
#include "wininst/install/registration.h"

namespace {

constexpr const char* kTests = "SOFTWARE\\MeridoxTests";

void AddKey(const std::string& key) {
  HKEY k;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k,
                            nullptr),
            0);
  RegCloseKey(k);
}

std::string Best(const std::string& key) {
  char* v = BestInstalledVersion(key.c_str());
  std::string s = v ? v : "<none>";
  free(v);
  return s;
}

// Puts the variables a test touches back as they were.
class SavedVariables {
 public:
  explicit SavedVariables(std::vector<const char*> names) {
    for (const char* n : names) {
      const char* v = GetVariable(n);
      saved_.emplace_back(n, v ? std::make_pair(true, std::string(v)) : std::make_pair(false, ""));
    }
  }
  ~SavedVariables() {
    for (auto& [name, value] : saved_) {
      if (value.first) {
        SetVariable(name.c_str(), value.second.c_str());
      } else {
        ClearVariable(name.c_str());
      }
    }
  }

 private:
  std::vector<std::pair<std::string, std::pair<bool, std::string>>> saved_;
};

class Product : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeA(HKEY_LOCAL_MACHINE, kTests); }
  void TearDown() override { RegDeleteTreeA(HKEY_LOCAL_MACHINE, kTests); }
};

TEST_F(Product, BestInstalledVersionComparesAsNumbers) {
  std::string family = std::string(kTests) + "\\Family";
  EXPECT_EQ(Best(family), "<none>") << "missing key";
  AddKey(family);
  EXPECT_EQ(Best(family), "<none>") << "no sub-keys";

  for (const char* v : {"9.65", "9.70", "10.00", "9.8"}) AddKey(family + "\\" + v);
  EXPECT_EQ(Best(family), "10.00");
  AddKey(family + "\\10.00a");
  EXPECT_EQ(Best(family), "10.00a");

  std::string longest = "10." + std::string(124, '9');
  AddKey(family + "\\" + longest);
  EXPECT_EQ(Best(family), longest);
}

TEST_F(Product, HeadlessCheckRefusesOnlyAGreaterVersion) {
  SavedVariables saved({"Manufacturer", "Product", "Edition", "HeadlessInstall", "Version"});
  if (!*ShortVersion()) SetVariable("Version", "9.70PL2");
  const std::string mine = ShortVersion();
  ASSERT_FALSE(mine.empty());
  SetVariable("Manufacturer", "MeridoxTests");
  SetVariable("Product", "Check");
  ClearVariable("Edition");
  RunMode headless;
  headless.headless = true;
  SetRunMode(headless);
  const std::string family = std::string(kTests) + "\\Check";

  // A headless run never asks: a box here would hang the test.
  EXPECT_TRUE(CheckNewerVersion()) << "nothing installed";
  AddKey(family + "\\" + mine);
  EXPECT_TRUE(CheckNewerVersion()) << "the same version";
  AddKey(family + "\\" + mine + "a");
  EXPECT_FALSE(CheckNewerVersion()) << "a greater version";

  // With an edition, only that edition's versions count.
  SetVariable("Edition", "Pro");
  AddKey(family + "\\Pro\\" + mine);
  EXPECT_TRUE(CheckNewerVersion());
  AddKey(family + "\\Pro\\" + mine + "0");
  EXPECT_FALSE(CheckNewerVersion());
  SetRunMode(RunMode{});
}

}  // namespace
