// The registry operations against the prefix's real registry. Every test works
// below its own scratch key under HKCU\Software\MeridoxTests and removes it.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/registry.h"
#include "common/vector.h"

namespace {

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = std::string("Software\\MeridoxTests\\") +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    RegDeleteTreeA(HKEY_CURRENT_USER, key_.c_str());
  }
  void TearDown() override {
    RegDeleteTreeA(HKEY_CURRENT_USER, key_.c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\MeridoxTests");
  }

  std::string Sub(const std::string& rel) const { return key_ + "\\" + rel; }

  // Seeds a value with the system's own calls, so that the module under test
  // is only ever the reader.
  void Seed(const std::string& key, const char* name, DWORD type, const void* data, DWORD size) {
    HKEY k;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k,
                              nullptr),
              0);
    ASSERT_EQ(RegSetValueExA(k, name, 0, type, static_cast<const BYTE*>(data), size), 0);
    RegCloseKey(k);
  }
  void SeedString(const char* name, const std::string& text, DWORD type = REG_SZ) {
    Seed(key_, name, type, text.c_str(), static_cast<DWORD>(text.size() + 1));
  }
  bool Exists(const std::string& key) const {
    HKEY k;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &k) != 0) return false;
    RegCloseKey(k);
    return true;
  }

  static std::vector<std::string> Names(RegSubkeyList& l) {
    std::vector<std::string> v;
    for (uint32_t i = 0; i < vec_count(l.names); i++) v.emplace_back(vec_at<char>(l.names, i));
    reg_free_subkeys(l);
    std::sort(v.begin(), v.end());
    return v;
  }

  std::string key_;
};

TEST(RegistryRoots, CodesMapToPredefinedKeys) {
  EXPECT_EQ(reg_root_key(kRegClassesRoot), HKEY_CLASSES_ROOT);
  EXPECT_EQ(reg_root_key(kRegCurrentConfig), HKEY_CURRENT_CONFIG);
  EXPECT_EQ(reg_root_key(kRegCurrentUser), HKEY_CURRENT_USER);
  EXPECT_EQ(reg_root_key(kRegLocalMachine), HKEY_LOCAL_MACHINE);
  EXPECT_EQ(reg_root_key(0), HKEY_CLASSES_ROOT);
  EXPECT_EQ(reg_root_key(5), HKEY_CLASSES_ROOT);
}

TEST_F(Registry, DwordReadsOnlyNumbers) {
  DWORD n = 0x12345678;
  Seed(key_, "num", REG_DWORD, &n, 4);
  SeedString("short", "abc");  // 4 bytes with its terminator: the query fits
  SeedString("long", "abcd");

  uint32_t v = 7;
  EXPECT_EQ(reg_get_dword(kRegCurrentUser, key_.c_str(), "num", &v), 0);
  EXPECT_EQ(v, 0x12345678u);

  v = 7;
  EXPECT_EQ(reg_get_dword(kRegCurrentUser, key_.c_str(), "short", &v), ERROR_BAD_ARGUMENTS);
  EXPECT_EQ(v, 7u) << "a string's bytes must not reach the caller's variable";
  EXPECT_EQ(reg_get_dword(kRegCurrentUser, key_.c_str(), "long", &v), ERROR_MORE_DATA);
  EXPECT_EQ(reg_get_dword(kRegCurrentUser, key_.c_str(), "missing", &v), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg_get_dword(kRegCurrentUser, Sub("nokey").c_str(), "num", &v), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(v, 7u);
}

TEST_F(Registry, StringReads) {
  SeedString("plain", "hello");
  SeedString("", "the default");
  SeedString("expand", "%SystemRoot%\\x", REG_EXPAND_SZ);
  DWORD n = 5;
  Seed(key_, "num", REG_DWORD, &n, 4);
  SeedString("big", std::string(2999, 'b'));   // 3000 bytes stored
  SeedString("edge", std::string(2047, 'e'));  // exactly 2048 bytes
  Seed(key_, "bare", REG_SZ, "abc", 3);        // stored without a terminator

  RegData d = reg_get_string(kRegCurrentUser, key_.c_str(), "plain");
  ASSERT_EQ(d.error, 0);
  EXPECT_STREQ(d.data, "hello");
  EXPECT_EQ(d.length, 6u);
  free(d.data);

  d = reg_get_string(kRegCurrentUser, key_.c_str(), "");
  ASSERT_EQ(d.error, 0);
  EXPECT_STREQ(d.data, "the default");
  free(d.data);

  char root[MAX_PATH];
  ASSERT_GT(GetEnvironmentVariableA("SystemRoot", root, sizeof root), 0u);
  std::string want = std::string(root) + "\\x";
  d = reg_get_string(kRegCurrentUser, key_.c_str(), "expand");
  ASSERT_EQ(d.error, 0);
  EXPECT_EQ(std::string(d.data), want);
  EXPECT_EQ(d.length, want.size() + 1);
  free(d.data);

  d = reg_get_string(kRegCurrentUser, key_.c_str(), "num");
  EXPECT_EQ(d.error, ERROR_BAD_ARGUMENTS);
  EXPECT_EQ(d.data, nullptr);
  EXPECT_EQ(d.length, 0u);

  d = reg_get_string(kRegCurrentUser, key_.c_str(), "big");
  EXPECT_EQ(d.error, ERROR_MORE_DATA);
  EXPECT_EQ(d.data, nullptr);

  d = reg_get_string(kRegCurrentUser, key_.c_str(), "edge");
  ASSERT_EQ(d.error, 0);
  EXPECT_EQ(d.length, 2048u);
  EXPECT_EQ(strlen(d.data), 2047u);
  free(d.data);

  // Wine adds the missing terminator in the query (length 4); the block is a
  // text whatever the system reports.
  d = reg_get_string(kRegCurrentUser, key_.c_str(), "bare");
  ASSERT_EQ(d.error, 0);
  EXPECT_STREQ(d.data, "abc");
  free(d.data);

  EXPECT_EQ(reg_get_string(kRegCurrentUser, key_.c_str(), "missing").error, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg_get_string(kRegCurrentUser, Sub("nokey").c_str(), "plain").error,
            ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, ExpansionLimit) {
  // Expands to 4099 characters plus the terminator: the largest that fits.
  SetEnvironmentVariableA("MERIDOX_TEST_LONG", std::string(4000, 'a').c_str());
  SeedString("fits", "%MERIDOX_TEST_LONG%" + std::string(99, 'b'), REG_EXPAND_SZ);
  SeedString("over", "%MERIDOX_TEST_LONG%" + std::string(100, 'b'), REG_EXPAND_SZ);

  RegData d = reg_get_string(kRegCurrentUser, key_.c_str(), "fits");
  ASSERT_EQ(d.error, 0);
  EXPECT_EQ(d.length, 4100u);
  EXPECT_EQ(strlen(d.data), 4099u);
  free(d.data);

  d = reg_get_string(kRegCurrentUser, key_.c_str(), "over");
  EXPECT_EQ(d.error, ERROR_MORE_DATA);
  EXPECT_EQ(d.data, nullptr);
  SetEnvironmentVariableA("MERIDOX_TEST_LONG", nullptr);
}

TEST_F(Registry, ListsSubkeys) {
  ASSERT_EQ(reg_set_string(kRegCurrentUser, Sub("b").c_str(), "v", "1"), 0);
  ASSERT_EQ(reg_set_string(kRegCurrentUser, Sub("a\\deep").c_str(), "v", "1"), 0);
  ASSERT_EQ(reg_set_string(kRegCurrentUser, Sub("empty").c_str(), "v", "1"), 0);

  RegSubkeyList l = reg_list_subkeys(kRegCurrentUser, key_.c_str());
  EXPECT_EQ(l.error, 0);
  EXPECT_EQ(l.root, kRegCurrentUser);
  EXPECT_EQ(l.key, key_.c_str());
  EXPECT_EQ(l.count, 3u);
  EXPECT_EQ(Names(l), (std::vector<std::string>{"a", "b", "empty"}));

  std::string empty = Sub("empty");
  l = reg_list_subkeys(kRegCurrentUser, empty.c_str());
  EXPECT_EQ(l.error, 0);
  EXPECT_EQ(l.count, 0u);
  ASSERT_NE(l.names, nullptr);
  EXPECT_TRUE(Names(l).empty());

  std::string missing = Sub("missing");
  l = reg_list_subkeys(kRegCurrentUser, missing.c_str());
  EXPECT_EQ(l.error, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(l.count, 0u);
  ASSERT_NE(l.names, nullptr);
  EXPECT_TRUE(Names(l).empty());
}

TEST_F(Registry, SubkeyNameLimit) {
  std::string longest(127, 'n'), too_long(128, 'o');
  ASSERT_EQ(reg_set_dword(kRegCurrentUser, Sub(longest).c_str(), "v", 1), 0);
  RegSubkeyList l = reg_list_subkeys(kRegCurrentUser, key_.c_str());
  EXPECT_EQ(l.error, 0);
  EXPECT_EQ(Names(l), std::vector<std::string>{longest});

  // Enumeration is in name order here ("a" < "n..." < "o..."), so the
  // listing keeps what came before the name that does not fit.
  ASSERT_EQ(reg_set_dword(kRegCurrentUser, Sub("a").c_str(), "v", 1), 0);
  ASSERT_EQ(reg_set_dword(kRegCurrentUser, Sub(too_long).c_str(), "v", 1), 0);
  l = reg_list_subkeys(kRegCurrentUser, key_.c_str());
  EXPECT_EQ(l.error, ERROR_MORE_DATA);
  EXPECT_EQ(l.count, 2u);
  EXPECT_EQ(Names(l), (std::vector<std::string>{"a", longest}));

  l = reg_list_subkeys(kRegCurrentUser, key_.c_str(), 128);  // a wider listing takes it
  EXPECT_EQ(Names(l), (std::vector<std::string>{"a", longest, too_long}));
}

TEST_F(Registry, PlainStringReads) {
  SeedString("fits", std::string(15, 'f'));  // 16 bytes with its terminator
  SeedString("over", std::string(16, 'o'));
  SeedString("expand", "x", REG_EXPAND_SZ);
  RegData d = reg_get_plain_string(kRegCurrentUser, key_.c_str(), "fits", 16);
  ASSERT_EQ(d.error, 0);
  EXPECT_EQ(std::string(d.data), std::string(15, 'f'));
  free(d.data);
  EXPECT_EQ(reg_get_plain_string(kRegCurrentUser, key_.c_str(), "over", 16).error, ERROR_MORE_DATA);
  EXPECT_EQ(reg_get_plain_string(kRegCurrentUser, key_.c_str(), "expand", 16).error,
            ERROR_BAD_ARGUMENTS);
}

TEST_F(Registry, WritesCreateKeysAndReplaceValues) {
  std::string deep = Sub("one\\two\\three");
  EXPECT_EQ(reg_set_string(kRegCurrentUser, deep.c_str(), "s", "text"), 0);
  EXPECT_EQ(reg_set_dword(kRegCurrentUser, Sub("four\\five").c_str(), "d", 42), 0);
  EXPECT_EQ(reg_set_string(kRegCurrentUser, deep.c_str(), "", "default"), 0);

  RegData d = reg_get_string(kRegCurrentUser, deep.c_str(), "s");
  ASSERT_EQ(d.error, 0);
  EXPECT_STREQ(d.data, "text");
  EXPECT_EQ(d.length, 5u);
  free(d.data);
  d = reg_get_string(kRegCurrentUser, deep.c_str(), "");
  ASSERT_EQ(d.error, 0);
  EXPECT_STREQ(d.data, "default");
  free(d.data);
  uint32_t v = 0;
  EXPECT_EQ(reg_get_dword(kRegCurrentUser, Sub("four\\five").c_str(), "d", &v), 0);
  EXPECT_EQ(v, 42u);

  // A value changes type when written again.
  EXPECT_EQ(reg_set_dword(kRegCurrentUser, deep.c_str(), "s", 9), 0);
  EXPECT_EQ(reg_get_dword(kRegCurrentUser, deep.c_str(), "s", &v), 0);
  EXPECT_EQ(v, 9u);
  EXPECT_EQ(reg_set_string(kRegCurrentUser, deep.c_str(), "s", ""), 0);
  d = reg_get_string(kRegCurrentUser, deep.c_str(), "s");
  ASSERT_EQ(d.error, 0);
  EXPECT_STREQ(d.data, "");
  EXPECT_EQ(d.length, 1u);
  free(d.data);

  // A key under a volatile key must be volatile too: the write reports it.
  HKEY vk;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, Sub("vol").c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                            KEY_WRITE, nullptr, &vk, nullptr),
            0);
  RegCloseKey(vk);
  EXPECT_EQ(reg_set_string(kRegCurrentUser, Sub("vol\\child").c_str(), "s", "x"),
            ERROR_CHILD_MUST_BE_VOLATILE);
  EXPECT_EQ(reg_set_string(kRegCurrentUser, Sub("vol").c_str(), "s", "x"), 0);
}

TEST_F(Registry, DeletesTreesAndValues) {
  // Three levels with three sub-keys at each: 39 keys below the top.
  std::vector<std::string> leaves;
  for (const char* a : {"a1", "a2", "a3"})
    for (const char* b : {"b1", "b2", "b3"})
      for (const char* c : {"c1", "c2", "c3"})
        leaves.push_back(Sub("top\\") + a + "\\" + b + "\\" + c);
  for (auto& k : leaves) ASSERT_EQ(reg_set_dword(kRegCurrentUser, k.c_str(), "v", 1), 0);
  ASSERT_EQ(reg_set_string(kRegCurrentUser, Sub("top\\a2").c_str(), "s", "x"), 0);
  ASSERT_EQ(reg_set_string(kRegCurrentUser, Sub("sibling").c_str(), "s", "x"), 0);

  // The system refuses a key with sub-keys; the tree deletion does not.
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, Sub("top").c_str()), ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg_delete_tree(kRegCurrentUser, Sub("top").c_str()), 0);
  EXPECT_FALSE(Exists(Sub("top")));
  EXPECT_TRUE(Exists(Sub("sibling")));

  EXPECT_EQ(reg_delete_tree(kRegCurrentUser, Sub("top").c_str()), ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(reg_delete_value(kRegCurrentUser, Sub("sibling").c_str(), "s"), 0);
  EXPECT_EQ(reg_get_string(kRegCurrentUser, Sub("sibling").c_str(), "s").error,
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg_delete_value(kRegCurrentUser, Sub("sibling").c_str(), "s"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg_delete_value(kRegCurrentUser, Sub("nokey").c_str(), "s"), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(Exists(Sub("sibling")));
}

}  // namespace
