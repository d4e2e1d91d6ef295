// The common library's list, allocation, hash table and path helpers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/alloc.h"
#include "common/hash.h"
#include "common/osdep.h"
#include "common/vector.h"

namespace {

struct VecDeleter {
  void operator()(Vec* v) const { vec_free(v); }
};
using VecPtr = std::unique_ptr<Vec, VecDeleter>;

TEST(Vec, GrowsTenThenDoublesKeepingItems) {
  VecPtr v(vec_new());
  EXPECT_EQ(v->nslots, 0u);
  EXPECT_EQ(v->slot_array, nullptr);
  static int items[45];
  for (uint32_t i = 0; i < 45; i++) {
    EXPECT_EQ(vec_add(v.get(), &items[i]), i);
    uint32_t expect = i < 10 ? 10 : i < 20 ? 20 : i < 40 ? 40 : 80;
    EXPECT_EQ(v->nslots, expect) << "after item " << i;
  }
  for (uint32_t i = 0; i < 45; i++) EXPECT_EQ(vec_get(v.get(), i), &items[i]);
  EXPECT_EQ(vec_get(v.get(), 45), nullptr);
}

TEST(Vec, CursorWalksNullItemsAndStopsAtEnd) {
  VecPtr v(vec_new());
  EXPECT_EQ(vec_more(v.get()), 0);
  EXPECT_EQ(vec_next(v.get()), nullptr);
  EXPECT_EQ(vec_get(v.get(), 0), nullptr);

  int a, b;
  vec_add(v.get(), &a);
  vec_add(v.get(), nullptr);
  vec_add(v.get(), &b);
  std::vector<void*> seen;
  for (vec_rewind(v.get()); vec_more(v.get());) seen.push_back(vec_next(v.get()));
  EXPECT_EQ(seen, (std::vector<void*>{&a, nullptr, &b}));
  EXPECT_EQ(vec_next(v.get()), nullptr);
  EXPECT_EQ(v->iter, 3u);
}

TEST(Vec, ClearKeepsSlotsAndCursor) {
  VecPtr v(vec_new());
  int x;
  for (int i = 0; i < 15; i++) vec_add(v.get(), &x);
  vec_next(v.get());
  vec_next(v.get());
  void** slots = v->slot_array;
  EXPECT_EQ(vec_clear(v.get()), v.get());
  EXPECT_EQ(vec_count(v.get()), 0u);
  EXPECT_EQ(v->iter, 2u);
  for (int i = 0; i < 20; i++) vec_add(v.get(), &x);
  EXPECT_EQ(v->slot_array, slots) << "refilling up to the old size allocates nothing";
  vec_free(nullptr);
}

TEST(Alloc, ZeroFilledBlocksAndJoinedStrings) {
  void* empty = xmalloc(0);
  ASSERT_NE(empty, nullptr);
  free(empty);
  unsigned char* block = static_cast<unsigned char*>(xmalloc(1000));
  for (int i = 0; i < 1000; i++) ASSERT_EQ(block[i], 0);
  free(block);

  const char a[] = "abc", b[] = "def";
  char* ab = xstrcat(a, b);
  EXPECT_STREQ(ab, "abcdef");
  EXPECT_STREQ(a, "abc");
  free(ab);
  char* none = xstrcat("", "");
  EXPECT_STREQ(none, "");
  free(none);
}

TEST(Alloc, SprintfCutsAt4095AndWarnsOnce) {
  char* joined = xsprintf("%s\\%s", "a", "b");
  EXPECT_STREQ(joined, "a\\b");
  free(joined);

  std::string exact(4095, 'x');
  testing::internal::CaptureStderr();
  char* whole = xsprintf("%s", exact.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(std::string(whole), exact);
  free(whole);

  std::string longer(5000, 'y');
  testing::internal::CaptureStderr();
  char* cut = xsprintf("%s", longer.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "buffer overflow in vsnprintf");
  EXPECT_EQ(strlen(cut), 4095u);
  free(cut);
}

// The space line and the download rates print these without floating point:
// every value the same as "%.1f" and "%.2f" would print it, ties included.
TEST(Alloc, FixedPointPrintsAsTheFormattedPrintRounds) {
  char expected[64];
  for (uint64_t v : {0ull, 1ull, 51ull, 52ull, 511ull, 512ull, 1023ull, 1024ull, 1536ull, 2560ull, 4198ull,
                     1048575ull, 2000000ull, 4294967295ull}) {
    for (auto [shift, decimals] : {std::pair{10u, 1}, {10u, 2}, {20u, 2}, {0u, 0}}) {
      snprintf(expected, sizeof expected, "%.*f", decimals, static_cast<double>(v) / (1ull << shift));
      EXPECT_EQ(FixedPoint(v, shift, decimals), expected) << v << " >> " << shift;
    }
  }
  for (uint64_t v = 0; v < 20000; v++) {
    snprintf(expected, sizeof expected, "%.1f", v / 1024.0);
    ASSERT_EQ(FixedPoint(v, 10, 1), expected) << v;
  }
}

uint32_t FirstChar(const void* k) { return static_cast<const char*>(k)[0]; }
int StrCompare(const void* a, const void* b) {
  return strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}

TEST(Hash, InsertLookupRemoveAndChains) {
  HashTable* t = hash_new(4, FirstChar, StrCompare);
  int v1, v2, v3;
  // "a" and "e" share a bucket (97 % 4 == 101 % 4).
  EXPECT_EQ(hash_insert(t, "a", &v1), 1);
  EXPECT_EQ(hash_insert(t, "e", &v2), 1);
  EXPECT_EQ(hash_insert(t, "a", &v3), 0) << "an equal key leaves the table unchanged";
  EXPECT_EQ(t->count, 2u);
  EXPECT_EQ(hash_lookup(t, "a"), &v1);
  EXPECT_EQ(hash_lookup(t, "e"), &v2);
  EXPECT_EQ(hash_remove(t, "a"), &v1);
  EXPECT_EQ(hash_lookup(t, "a"), nullptr);
  EXPECT_EQ(hash_lookup(t, "e"), &v2) << "the rest of the chain survives";
  EXPECT_EQ(hash_remove(t, "zz"), nullptr);
  EXPECT_EQ(t->count, 1u);
}

TEST(Hash, DefaultsCompareKeyAddresses) {
  HashTable* t = hash_new(7, nullptr, nullptr);
  char k1[] = "same", k2[] = "same";
  int v;
  EXPECT_EQ(hash_insert(t, k1, &v), 1);
  EXPECT_EQ(hash_lookup(t, k1), &v);
  EXPECT_EQ(hash_lookup(t, k2), nullptr);
}

TEST(HashDeathTest, ZeroBucketsIsAProgrammingError) {
  EXPECT_DEATH(hash_new(0, nullptr, nullptr), "size != 0");
}

TEST(Paths, JoinDropsOneBackslashEachSide) {
  struct Case {
    const char *folder, *name, *expect;
  } cases[] = {
      {"C:\\Inst\\", "\\bin", "C:\\Inst\\bin"},
      {"C:\\Inst", "setup.exe", "C:\\Inst\\setup.exe"},
      {"C:\\Inst\\\\", "x", "C:\\Inst\\\\x"},
      {"C:\\Inst/", "x", "C:\\Inst/\\x"},
      {"C:\\Inst", "", "C:\\Inst\\"},
  };
  for (const Case& c : cases) {
    char* r = path_join(c.folder, c.name);
    EXPECT_STREQ(r, c.expect) << c.folder << " + " << c.name;
    free(r);
  }
  EXPECT_EQ(path_join("", "x"), nullptr);
}

TEST(Paths, TailAfterLastSeparatorOfTheStrongestKind) {
  EXPECT_STREQ(path_tail("C:\\dir/sub\\file.txt"), "file.txt");
  EXPECT_STREQ(path_tail("dir/file"), "file");
  EXPECT_STREQ(path_tail("C:file"), "file");
  EXPECT_STREQ(path_tail("file"), "file");
  EXPECT_STREQ(path_tail("C:\\dir\\"), "");
  EXPECT_EQ(path_tail(static_cast<const char*>(nullptr)), nullptr);
}

TEST(Paths, ExistsAndFolder) {
  std::string dir = testing::TempDir();
  std::string file = dir + "/osdep_probe.txt";
  FILE* f = fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  EXPECT_EQ(file_exists(file.c_str()), 1);
  EXPECT_EQ(is_folder(file.c_str()), 0);
  EXPECT_EQ(file_exists(dir.c_str()), 1);
  EXPECT_EQ(is_folder(dir.c_str()), 1);
  remove(file.c_str());
  EXPECT_EQ(file_exists(file.c_str()), 0);
  EXPECT_EQ(is_folder(file.c_str()), 0);
}

}  // namespace

TEST(Paths, PlainPathsNameOnePlace) {
  for (const char* plain : {"C:\\a\\b.txt", "c:\\Program Files\\x", "\\\\server\\share\\f", "C:\\a\\"}) {
    EXPECT_TRUE(is_plain_path(plain)) << plain;
  }
  for (const char* odd : {"C:\\a\\..\\b", "C:\\a\\.", "C:\\a\\...\\b", "C:\\a\\b. ", "C:\\a\\\\b",
                          "C:\\a/../b", "C:\\a\\b:stream", "\\\\?\\C:\\a", "\\\\.\\PhysicalDrive0", "a\\b", "C:\\"}) {
    EXPECT_FALSE(is_plain_path(odd)) << odd;
  }
}

TEST(Paths, NamesWindowsChangesOrReserves) {
  for (const char* kept : {"a", "bin", "a.b.c", ".hidden", " lead", "CONSOLE", "con1", "COM10", "LPT",
                           "CLOCK", "nul_.txt", "com\xB4", "\xE9t\xE9.txt", "a b"}) {
    EXPECT_EQ(windows_name_problem(kept), nullptr) << kept;
  }
  const char* const trimmed = "ends in a dot or a space, which Windows drops";
  const char* const device = "is a device name on Windows";
  const char* const character = "holds a character Windows does not allow in a name";
  const std::pair<const char*, const char*> refused[] = {
      {"", "is empty"}, {".", trimmed}, {"..", trimmed}, {"...", trimmed}, {"bin.", trimmed},
      {"y ", trimmed}, {"CON", device}, {"nul.txt", device}, {"Aux .log", device},
      {"prn.a.b", device}, {"COM1", device}, {"lpt9.dat", device}, {"COM0", device},
      {"com\xB9", device}, {"LPT\xB2.x", device}, {"lpt\xB3", device}, {"CONIN$", device},
      {"conout$.txt", device}, {"Clock$", device}, {"a:b", character}, {"a/b", character},
      {"a\\b", character}, {"a|b", character}, {"a?", character}, {"*", character},
      {"a\"b", character}, {"<a>", character}, {"tab\there", character}, {"\x1f", character}};
  for (const auto& [name, problem] : refused) {
    const char* found = windows_name_problem(name);
    EXPECT_STREQ(found ? found : "(kept)", problem) << name;
  }
}
