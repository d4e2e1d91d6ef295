// The variable store, [Name] expansion and the text helpers beside it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/unit/host/messages_double.h"
#include "common/messages.h"
#include "wininst/core/variables.h"
#include "wininst/install/manifest.h"

namespace {

std::string Expand(const char* t) {
  char* r = ExpandVariables(t);
  std::string s = r;
  free(r);
  return s;
}

TEST(Variables, NamesIgnoreCaseAndOldTextsStayValid) {
  const char* first = SetVariable("MixedCase", "one");
  EXPECT_STREQ(GetVariable("MIXEDCASE"), "one");
  SetVariable("mixedcase", "two");
  EXPECT_STREQ(GetVariable("MixedCase"), "two");
  EXPECT_STREQ(first, "one") << "a replaced value is not freed";
  ClearVariable("MIXEDcase");
  EXPECT_EQ(GetVariable("MixedCase"), nullptr);
  try {
    SetVariable("Broken", nullptr);
    FAIL();
  } catch (const FatalExit& e) {
    EXPECT_EQ(e.text, "Bad call to SetVariable: Broken");
  }
}

TEST(Variables, FlagsAndComparisons) {
  SetVariable("F1", "TRUE");
  SetVariable("F2", "Yes");
  SetVariable("F3", "1");
  SetVariable("F4", "on");
  EXPECT_TRUE(IsTrue("F1"));
  EXPECT_TRUE(IsTrue("f2"));
  EXPECT_FALSE(IsTrue("F3"));
  EXPECT_FALSE(IsTrue("F4"));
  EXPECT_FALSE(IsTrue("NeverSet"));
  SetFlag("F5", true);
  EXPECT_STREQ(GetVariable("F5"), "yes");
  SetFlag("F5", false);
  EXPECT_STREQ(GetVariable("F5"), "no");
  EXPECT_TRUE(VariableEquals("F2", "YES"));
  EXPECT_FALSE(VariableEquals("NeverSet", ""));
}

TEST(Expand, ReferencesAndTheirOddities) {
  SetVariable("InstDir", "C:\\X");
  EXPECT_EQ(Expand("Path=[InstDir]\\bin"), "Path=C:\\X\\bin");
  EXPECT_EQ(Expand("Path=[instdir]\\bin"), "Path=C:\\X\\bin");
  ClearVariable("InstDir");
  EXPECT_EQ(Expand("Path=[InstDir]\\bin"), "Path=\\bin");
  EXPECT_EQ(Expand("A[B"), "A") << "an unclosed reference ends the text";
  EXPECT_EQ(Expand("A[]B"), "AB");
  SetVariable("", "empty-name");
  EXPECT_EQ(Expand("A[]B"), "Aempty-nameB");
  ClearVariable("");
  SetVariable("a[b", "inner");
  EXPECT_EQ(Expand("[a[b]]"), "inner]");
  SetVariable("Loop", "[Loop]");
  EXPECT_EQ(Expand("[Loop]"), "[Loop]") << "values are not expanded again";
  std::string longname(255, 'n');
  SetVariable(longname.c_str(), "never");
  EXPECT_EQ(Expand(("<[" + longname + "]>").c_str()), "<>");
  std::string maxname(254, 'm');
  SetVariable(maxname.c_str(), "fits");
  EXPECT_EQ(Expand(("<[" + maxname + "]>").c_str()), "<fits>");
}

// The manifest's "%InstDir%" token: any case, anywhere, and nothing else
// that begins with a percent sign.
TEST(Expand, InstallationFolderTokenOfManifestLines) {
  auto token = [](const char* t) {
    char* r = ExpandInstDir(t);
    std::string s = r;
    free(r);
    return s;
  };
  ClearVariable("InstDir");
  EXPECT_EQ(token("%InstDir%\\a"), "%InstDir%\\a") << "no folder yet: the line stands";
  SetVariable("InstDir", "C:\\P");
  EXPECT_EQ(token("%InstDir%\\a\t%instdir%%INSTDIR%"), "C:\\P\\a\tC:\\PC:\\P");
  EXPECT_EQ(token("100% %%InstDir% 50%"), "100% %C:\\P 50%");
  EXPECT_EQ(token("x%InstDir"), "x%InstDir") << "a token cut short";
  EXPECT_EQ(token(""), "");
  std::string many(3000, '%');
  EXPECT_EQ(token((many + "%InstDir%").c_str()).size(), many.size() + 4);
  ClearVariable("InstDir");
}

TEST(Expand, ValuesThatDoNotFitAreDroppedWhole) {
  std::string big(5000, 'b');
  SetVariable("Big", big.c_str());
  SetVariable("Small", "s");
  // 5000 + 5000 would pass 8191: the second value is dropped, later short ones fit.
  std::string r = Expand("[Big][Big][Small]");
  EXPECT_EQ(r, big + "s");
  std::string exact(8191 - 5000, 'e');
  SetVariable("Rest", exact.c_str());
  EXPECT_EQ(Expand("[Big][Rest]").size(), 8191u);
  EXPECT_EQ(Expand("[Big][Rest]x").size(), 8191u) << "copying stops at 8191 characters";
  std::string text(9000, 't');
  EXPECT_EQ(Expand(text.c_str()).size(), 8191u);
}

TEST(Variables, FullVersionFollowsVersionAndPatchLevel) {
  ClearVariable("Version");
  ClearVariable("PatchLevel");
  SetVariable("Version", "2.0");
  EXPECT_STREQ(GetVariable("FullVersion"), "2.0");
  SetVariable("PatchLevel", "pl2");
  EXPECT_STREQ(GetVariable("FullVersion"), "2.0pl2");
  SetVariable("PatchLevel", "pl0");
  EXPECT_STREQ(GetVariable("FullVersion"), "2.0");
  SetVariable("Version", "9.65");
  SetVariable("PatchLevel", "PL3");
  EXPECT_STREQ(GetVariable("FullVersion"), "9.65PL3");
}

TEST(Variables, PatchLevelBeforeVersionIsHarmless) {
  ClearVariable("Version");
  ClearVariable("PatchLevel");
  ClearVariable("FullVersion");
  // A manifest may name the patch level first: nothing to derive yet.
  SetVariable("PatchLevel", "PL0");
  EXPECT_EQ(GetVariable("FullVersion"), nullptr);
  SetVariable("Version", "1.5");
  EXPECT_STREQ(GetVariable("FullVersion"), "1.5");
  ClearVariable("Version");
  SetVariable("PatchLevel", "PL4");
  EXPECT_STREQ(GetVariable("FullVersion"), "PL4");
}

TEST(Versions, ComparedPartByPartAsNumbers) {
  // Each row: older, newer (or the same when `same`), in both orders.
  const struct {
    const char* older;
    const char* newer;
    bool same;
  } rows[] = {
      {"9.70", "10.00", false},
      {"1.9", "1.10", false},
      {"1.2", "1.10", false},
      {"9.70", "9.70a", false},
      {"9.70a", "9.70b", false},
      {"9.7", "9.70", false},
      {"1", "1.0.1", false},
      {"2.9.9", "3", false},
      {"", "0.1", false},
      {"1.0.9", "1.5", false},
      {"4294967295.1", "99999999999999999999.2", false},
      {"1.0", "1", true},
      {"01.002", "1.2", true},
      {"10.00", "10.0", true},
      {"", "", true},
      {"0", "", true},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(CompareVersions(row.older, row.newer), row.same ? 0 : -1)
        << row.older << " against " << row.newer;
    EXPECT_EQ(CompareVersions(row.newer, row.older), row.same ? 0 : 1)
        << row.newer << " against " << row.older;
  }
}

TEST(VariablesDeathTest, StoreStartsWithProgramFilesFromTheEnvironment) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto probe = [](const char* pf, const char* drive, const char* expect) {
    if (pf) setenv("ProgramFiles", pf, 1); else unsetenv("ProgramFiles");
    if (drive) setenv("SystemDrive", drive, 1); else unsetenv("SystemDrive");
    const char* v = GetVariable("ProgramFiles");
    fprintf(stderr, "ProgramFiles=%s\n", v);
    exit(v && strcmp(v, expect) == 0 ? 0 : 1);
  };
  EXPECT_EXIT(probe("D:\\Apps", "E:", "D:\\Apps"), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(probe("", "E:", "E:\\Program Files"), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(probe(nullptr, "1:", "C:\\Program Files"), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(probe(nullptr, nullptr, "C:\\Program Files"), testing::ExitedWithCode(0), "");
}

TEST(VariablesDeathTest, ShortVersionIsFixedAtFirstUse) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto probe = [] {
    SetVariable("Version", "9.70PL1");
    bool ok = strcmp(ShortVersion(), "9.70") == 0;
    SetVariable("Version", "10.1");
    ok = ok && strcmp(ShortVersion(), "9.70") == 0;
    exit(ok ? 0 : 1);
  };
  EXPECT_EXIT(probe(), testing::ExitedWithCode(0), "");
}

TEST(Text, BreakLongWordsBreaksRunsAtBackslashes) {
  EXPECT_EQ(BreakLongWords("short words stay as they are", 6), "short words stay as they are");
  EXPECT_EQ(BreakLongWords("C:\\aaaa\\bbbb\\cc is long", 10), "C:\\aaaa\\\nbbbb\\cc is long");
  EXPECT_EQ(BreakLongWords("xxxxxxxxxxxxxxxxxxxxxxxxx", 10), "xxxxxxxxxx\nxxxxxxxxxx\nxxxxx");
  EXPECT_EQ(BreakLongWords("a\nxxxxxxxxxx yyyyyyyyyy", 10), "a\nxxxxxxxxxx yyyyyyyyyy");
}

TEST(Text, WrapTextBreaksAtSpacesAfterWidth) {
  char* r = WrapText("aaaa bbbb cccc dddd", 6);
  EXPECT_STREQ(r, "aaaa bbbb\ncccc dddd");
  free(r);
  r = WrapText("ab\ncd ef gh", 4);
  EXPECT_STREQ(r, "ab\ncd\nef gh") << "existing line breaks only advance the count";
  free(r);
  r = WrapText("", 60);
  EXPECT_STREQ(r, "");
  free(r);
}

TEST(Text, NextTokenSkipsDelimiterRuns) {
  char text[] = "\r\nfirst\r\n\r\nsecond\nthird\r\n";
  char* pos = nullptr;
  EXPECT_STREQ(NextToken(text, "\r\n", &pos), "first");
  EXPECT_STREQ(NextToken(nullptr, "\r\n", &pos), "second");
  EXPECT_STREQ(NextToken(nullptr, "\r\n", &pos), "third");
  EXPECT_EQ(NextToken(nullptr, "\r\n", &pos), nullptr);
  EXPECT_EQ(NextToken(nullptr, "\r\n", &pos), nullptr);
  char blank[] = "\n\n";
  EXPECT_EQ(NextToken(blank, "\n", &pos), nullptr);
}

}  // namespace
