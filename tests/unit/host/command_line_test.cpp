// Splitting the command line and turning options into installer variables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/compat.h"
#include "common/getargs.h"
#include "common/vector.h"
#include "tests/unit/host/messages_double.h"
#include "wininst/core/entry.h"
#include "wininst/core/variables.h"

namespace {

std::vector<std::string> Split(std::string text) {
  std::vector<char> buf(text.begin(), text.end());
  buf.push_back('\0');
  char** argv = arg_split(buf.data());
  EXPECT_STREQ(argv[0], "") << "entry 0 stands for the program name";
  std::vector<std::string> out;
  for (char** a = argv + 1; *a; a++) out.emplace_back(*a);
  return out;
}

using Args = std::vector<std::string>;

TEST(ArgSplit, EmptyAndBlankTexts) {
  EXPECT_EQ(Split(""), Args{});
  EXPECT_EQ(Split("    "), Args{});
  EXPECT_EQ(Split(" \r\r "), Args{});
}

TEST(ArgSplit, QuotesOpenAnywhereAndNothingEscapes) {
  EXPECT_EQ(Split("--dir=\"C:\\Program Files\\Tool\" --remove"),
            (Args{"--dir=C:\\Program Files\\Tool", "--remove"}));
  EXPECT_EQ(Split("\"C:\\dir\\\" x"), (Args{"C:\\dir\\", "x"}))
      << "a backslash before a closing quote stays and does not escape it";
  EXPECT_EQ(Split("\"\""), Args{""});
  EXPECT_EQ(Split("'it\"s'"), Args{"it\"s"});
  EXPECT_EQ(Split("a\"b c\"d"), Args{"ab cd"});
  EXPECT_EQ(Split("--dir=\"C:\\x y"), Args{"--dir=C:\\x y"}) << "an unclosed quote runs to the end";
  EXPECT_EQ(Split("'a b' \"c' d\""), (Args{"a b", "c' d"}));
}

TEST(ArgSplit, SeparatorsAndCarriageReturns) {
  EXPECT_EQ(Split("a\tb\nc  d"), (Args{"a", "b", "c", "d"}));
  EXPECT_EQ(Split("a\rb c\r\r  \r"), (Args{"a\rb", "c"}))
      << "an inner carriage return is part of an argument; trailing ones go";
  EXPECT_EQ(Split("   lead"), Args{"lead"});
}

TEST(ArgSplit, ManyArgumentsInOrder) {
  std::string text;
  Args expect;
  for (int i = 0; i < 150; i++) {
    text += "arg" + std::to_string(i) + " ";
    expect.push_back("arg" + std::to_string(i));
  }
  EXPECT_EQ(Split(text), expect);
}

TEST(ArgSplit, ArgumentLengthLimit) {
  std::string max(255, 'a');
  EXPECT_EQ(Split(max + " x"), (Args{max, "x"}));
  EXPECT_EQ(Split("\"" + max + "\""), Args{max}) << "quotes are not stored";
  try {
    Split(std::string(256, 'b'));
    FAIL() << "256 characters must be fatal";
  } catch (const FatalExit& e) {
    EXPECT_EQ(e.text, "Error 917");
  }
  // The entry's split reports instead: the rest of the line is still read.
  std::string line = "a " + std::string(256, 'b') + " --unattended";
  int error = 0;
  char** argv = arg_split(line.data(), &error);
  EXPECT_EQ(error, kArgumentTooLong);
  EXPECT_EQ((Args{argv[1], argv[2]}), (Args{"a", "--unattended"}));
  EXPECT_EQ(argv[3], nullptr);
}

// Options are applied to a fresh set of variables for each case.
class Options : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : {"LicenceAgreed", "InstDir", "SubInstall", "Remove", "HeadlessInstall",
                          "Install", "Foo", "Bar", "Empty", "SuppressMessages", "Unattended", "LogFile"}) {
      ClearVariable(v);
    }
    vec_clear(ExcludedComponents());
    vec_clear(SelectedComponents());
    messages_double::Reset();
  }
  void Run(std::string line) {
    std::vector<char> buf(line.begin(), line.end());
    buf.push_back('\0');
    ReadCommandLine(buf.data());
  }
  static std::string Var(const char* name) {
    const char* v = GetVariable(name);
    return v ? v : "<unset>";
  }
  static Args Names(Vec* list) {
    Args out;
    for (uint32_t i = 0; i < vec_count(list); i++) out.emplace_back(vec_at<char>(list, i));
    return out;
  }
  static Args Excluded() { return Names(ExcludedComponents()); }
};

TEST_F(Options, FolderAndLicenceMakeAHeadlessInstall) {
  Run("\"--I agree to the terms of the licence\" \"--dir=C:\\My Tools\"");
  EXPECT_EQ(Var("InstDir"), "C:\\My Tools");
  EXPECT_EQ(Var("LicenceAgreed"), "yes");
  EXPECT_EQ(Var("HeadlessInstall"), "yes");
  EXPECT_EQ(Var("Install"), "yes");
}

TEST_F(Options, EmptyFolderStillCounts) {
  Run("--dir= \"--I AGREE to the terms of the licence\"");
  EXPECT_EQ(Var("InstDir"), "");
  EXPECT_EQ(Var("HeadlessInstall"), "yes");
}

TEST_F(Options, RemovalModes) {
  Run("--dir=C:\\x \"--I agree to the terms of the licence\" --remove");
  EXPECT_EQ(Var("HeadlessInstall"), "yes");
  EXPECT_EQ(Var("Remove"), "yes");
  EXPECT_EQ(Var("Install"), "<unset>");
  SetUp();
  Run("--REMOVE-silently");
  EXPECT_EQ(Var("HeadlessInstall"), "yes");
  EXPECT_EQ(Var("Remove"), "yes");
  EXPECT_EQ(Var("InstDir"), "<unset>");
  SetUp();
  Run("--dir=C:\\x");
  EXPECT_EQ(Var("HeadlessInstall"), "<unset>") << "a folder alone is interactive";
}

TEST_F(Options, ComponentsLeftOutAndChosenTheLatestOptionWins) {
  Run("--No-SandRift --no-Extras --no-");
  EXPECT_EQ(Excluded(), (Args{"SANDRIFT", "Extras", ""}));
  Run("--with-EXTRAS --with-Viewer --no-viewer --with-sandrift --With-Docs");
  EXPECT_EQ(Excluded(), (Args{"", "viewer"}));
  EXPECT_EQ(Names(SelectedComponents()), (Args{"EXTRAS", "sandrift", "Docs"}));
}

TEST_F(Options, UnattendedLogAndHelp) {
  EXPECT_FALSE(HelpAsked());
  Run("--UNATTENDED --log=C:\\logs\\a b.log /?");
  EXPECT_EQ(Var("Unattended"), "yes");
  EXPECT_EQ(Var("LogFile"), "C:\\logs\\a");
  EXPECT_TRUE(HelpAsked());
  EXPECT_EQ(Var("HeadlessInstall"), "<unset>") << "unattended alone is no headless run";
}

TEST_F(Options, SetTrueAndSetVariable) {
  Run("--setTrue- --setTrue-Foo --setTrue-suppressMessages");
  EXPECT_EQ(Var("Foo"), "yes");
  EXPECT_TRUE(IsTrue("SuppressMessages"));
  Run("--setVariable-Bar=a=b=c --setVariable-Empty= --setVariable-NoEquals --setVariable-=x");
  EXPECT_EQ(Var("Bar"), "a=b=c");
  EXPECT_EQ(Var("Empty"), "");
  EXPECT_EQ(Var("NoEquals"), "<unset>");
  EXPECT_EQ(Var(""), "<unset>") << "an empty name is ignored";
}

TEST_F(Options, LaterOptionsWinAndUnknownOnesAreIgnored) {
  const uint32_t known = vec_count(OptionsNotUnderstood());
  Run("--dir=C:\\first --bogus -dir=C:\\x --dir=C:\\second /S --subinstall --setTrue- "
      "--setVariable-X \"\"");
  EXPECT_EQ(Var("InstDir"), "C:\\second");
  EXPECT_EQ(Var("SubInstall"), "yes");
  EXPECT_TRUE(messages_double::boxes.empty());
  Args ignored = Names(OptionsNotUnderstood());
  EXPECT_EQ(Args(ignored.begin() + known, ignored.end()),
            (Args{"--bogus", "-dir=C:\\x", "/S", "--setTrue-", "--setVariable-X"}))
      << "kept for the log; an empty argument is none";
}

}  // namespace
