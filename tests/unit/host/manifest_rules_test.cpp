// The manifest line rules that the installer and the builder share.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "wininst/install/manifest_rules.h"

namespace {

using manifest::ComponentKey;
using manifest::FeatureKey;

// Records each event as one line of text.
class Recorder : public manifest::Sink {
 public:
  std::vector<std::string> events;
  std::string error;
  int error_line = 0;
  manifest::TextLines* lines = nullptr;

  void Resource(const manifest::ResourceLine& r) override {
    events.push_back("resource " + r.name + "|" + r.file + "|" + (r.has_size ? r.size_text : "-"));
  }
  void ResourcesEnd() override { events.push_back("resources-end"); }
  void Variable(const std::string& n, const std::string& v) override { events.push_back("var " + n + "=" + v); }
  void VariablesEnd() override { events.push_back("variables-end"); }
  void FeaturesStart() override { events.push_back("features"); }
  void Feature(const std::string& n) override { events.push_back("feature " + n); }
  void FeatureValue(FeatureKey k, const std::string& v) override {
    events.push_back("key" + std::to_string(static_cast<int>(k)) + " " + v);
  }
  void Installer(const manifest::SizedName& s) override {
    events.push_back("installer " + s.name + "|" + (s.has_size ? std::to_string(s.size) : "-"));
  }
  void InstallerAlternate(const std::string& s) override { events.push_back("alternate " + s); }
  void InstallerArguments(const std::string& s) override { events.push_back("arguments " + s); }
  void InstallerDigest(const std::string& s) override { events.push_back("digest " + s); }
  void Folder(const std::string& n) override { events.push_back("folder " + n); }
  void File(const manifest::SizedName& f) override {
    events.push_back("file " + f.name + "|" + (f.has_size ? std::to_string(f.size) : "-"));
  }
  void FeaturesEnd() override { events.push_back("features-end"); }
  void ComponentsStart() override { events.push_back("components"); }
  void Component(const std::string& n) override { events.push_back("component " + n); }
  void ComponentValue(ComponentKey k, const std::string& v) override {
    events.push_back("ckey" + std::to_string(static_cast<int>(k)) + " " + v);
  }
  void ComponentFeature(const std::string& n) override { events.push_back("uses " + n); }
  void Shortcut(const std::string& n, const std::string& s) override { events.push_back("shortcut " + n + "=" + s); }
  void Registry(const manifest::RegistryLine& r) override {
    events.push_back("reg " + std::to_string(r.root) + "|" + r.key + "|" + r.value_name + "|" +
                     (r.is_string ? "s:" + r.text : "d:" + std::to_string(r.dword)));
  }
  void FolderPath(const std::string& p) override { events.push_back("created " + p); }
  void FilePath(const std::string& p) override { events.push_back("installed " + p); }
  void Run() override { events.push_back("run"); }
  void Error(const std::string& m) override {
    error = m;
    error_line = lines ? lines->LineNumber() : 0;
    events.push_back("error " + std::to_string(error_line) + " " + m);
  }
};

struct Result {
  bool ok;
  std::vector<std::string> events;
  std::string error;
  int line;
};

Result Walk(const std::string& text, bool every_error = false) {
  manifest::TextLines lines(text);
  Recorder r;
  r.lines = &lines;
  bool ok = manifest::Walk(lines, r, every_error);
  if (!every_error) std::erase_if(r.events, [](const std::string& e) { return e.starts_with("error "); });
  return {ok, r.events, r.error, r.error_line};
}

using Events = std::vector<std::string>;

TEST(ManifestLines, SplittingTrimmingCommentsAndLineNumbers) {
  manifest::TextLines lines("  [Run]  \r\n\r\n; a comment\n\t x \r\ry\n");
  std::string l;
  ASSERT_TRUE(lines.Next(l));
  EXPECT_EQ(l, "[Run]");
  EXPECT_EQ(lines.LineNumber(), 1);
  ASSERT_TRUE(lines.Next(l));
  EXPECT_EQ(l, "x");
  EXPECT_EQ(lines.LineNumber(), 4);
  lines.PushBack(l);
  ASSERT_TRUE(lines.Next(l));
  EXPECT_EQ(l, "x");
  EXPECT_EQ(lines.LineNumber(), 4);
  ASSERT_TRUE(lines.Next(l));
  EXPECT_EQ(l, "y");
  EXPECT_EQ(lines.LineNumber(), 6) << "a lone CR ends a line, so CR CR makes an empty one";
  EXPECT_FALSE(lines.Next(l));

  manifest::TextLines raw("\r\n\r\nSIGNATURE \r\nrest");
  ASSERT_TRUE(raw.NextRaw(l));
  EXPECT_EQ(l, "SIGNATURE ") << "the signature line is not trimmed";
  EXPECT_EQ(raw.LineNumber(), 3);
}

TEST(ManifestSections, DispatchOrderAndTheEnd) {
  Result r = Walk("[variables]\nA=1\n[FOLDERS]\nC:\\x\n[Files]\nC:\\x\\y\n[Run]\n[Bogus]\nnot read\n");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.events, (Events{"var A=1", "variables-end", "created C:\\x", "installed C:\\x\\y", "run"}));

  EXPECT_EQ(Walk("").error, "Invalid manifest format");
  EXPECT_EQ(Walk("Product=x\n[Run]").error, "Invalid manifest format");
  Result no_run = Walk("[Variables]\nA=1\n");
  EXPECT_FALSE(no_run.ok);
  EXPECT_EQ(no_run.error, "Invalid manifest format") << "a manifest must end in [Run]";
  Result unknown = Walk("[Variables]\n[Extras]\n[Run]");
  EXPECT_EQ(unknown.error, "Unknown line in manifest: Extras");
  EXPECT_EQ(unknown.line, 2);
  EXPECT_EQ(Walk("[]\n[Run]").error, "Unknown line in manifest: ");
}

TEST(ManifestSections, AWalkForEveryErrorPassesOverEachBadLineAndGoesOn) {
  Result r = Walk(
      "Product=x\nVersion=1\n[Resources]\nNAMEONLY\nICON=i.ico\n[Extras]\nA=1\n[Features]\nbin/\n"
      "Feature=F\nx.txt\nbin/\nx.txt\nDigest=00\n[Components]\nComponent=C\nG\nF\n[Registry]\n"
      "HKLM\\k=1\nHKLM\\k\\v=1\n[Run]\n",
      true);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.events,
            (Events{"error 1 Invalid manifest format", "error 4 Bad line in [Resources]",
                    "resource ICON|i.ico|-", "resources-end", "error 6 Unknown line in manifest: Extras",
                    "features", "error 9 missing feature name before folder", "feature F",
                    "error 11 file in list without preceding folder", "folder bin", "file x.txt|-",
                    "error 14 Digest= without an Installer= line above it", "features-end",
                    "components", "component C", "error 17 Feature G not in manifest", "uses F",
                    "error 20 Bad registry entry under [Registry]", "reg 4|k|v|d:1", "run"}));
  EXPECT_EQ(Walk("[Variables]\nA=1\n", true).events,
            (Events{"var A=1", "variables-end", "error 2 Invalid manifest format"}));
}

TEST(ManifestSections, ResourcesAndVariables) {
  Result r = Walk("[Resources]\nBACKGROUND=back.bmp\t1708856\nICON=i.ico\n[Variables]\nA=b=c\nB\nC=\n[Run]");
  EXPECT_EQ(r.events, (Events{"resource BACKGROUND|back.bmp|1708856", "resource ICON|i.ico|-", "resources-end",
                              "var A=b", "var B=", "var C=", "variables-end", "run"}));
  EXPECT_EQ(Walk("[Resources]\nNAMEONLY\n[Run]").error, "Bad line in [Resources]");
  EXPECT_EQ(Walk("[Resources]\n=\t5\n[Run]").error, "Bad line in [Resources]");
  Result bad = Walk("[Variables]\nA=1\n===\n[Run]");
  EXPECT_EQ(bad.error, "Bad line in [Variables]");
  EXPECT_EQ(bad.line, 3);
}

TEST(ManifestFeatures, FoldersFilesAndSizes) {
  Result r = Walk("[Features]\nFeature=Main\nbin/\na.exe\t100\nb.dll\nbin\\\nbin//\na/b/\nsub\\dir\\\\\n/\nc\n"
                  "Feature=Next\nd.txt\t7\n[Run]");
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.events, (Events{"features", "feature Main", "folder bin", "file a.exe|100", "file b.dll|-",
                              "folder bin", "folder bin", "folder a\\b", "folder sub\\dir", "folder ",
                              "file c|-", "feature Next", "file d.txt|7", "features-end", "run"}))
      << "a file right after Feature= belongs to the previous feature's last folder";
}

TEST(ManifestFeatures, KeysNeedAFeature) {
  const std::pair<const char*, const char*> cases[] = {
      {"DriverInf=x.inf", "missing feature name before DriverInf"},
      {"DriverDevice=USB\\VID_1", "missing feature name before DriverDevice"},
      {"HKCR=x", "missing feature name before HKCR"},
      {"Regkey=x", "missing feature name before Regkey"},
      {"Description=x", "Description with no feature name"},
      {"Errmess=x", "missing feature name before Errmess"},
      {"Requires=x", "missing feature name before Requires"},
      {"Minversion=1.2", "missing feature name before Minversion"},
      {"Maxversion=1.2", "missing feature name before Maxversion"},
      {"Installer=setup.exe", "missing feature name before Installer"},
      {"bin/", "missing feature name before folder"},
      {"file.txt", "file in list without preceding folder"},
  };
  for (const auto& [line, message] : cases) {
    Result r = Walk(std::string("[Features]\n") + line + "\n[Run]");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, message) << line;
    EXPECT_EQ(r.line, 2) << line;
  }
  EXPECT_EQ(Walk("[Features]\nFeature=F\nfile.txt\n[Run]").error, "file in list without preceding folder");
}

TEST(ManifestFeatures, KeysAndInstallerSubBlocks) {
  Result r = Walk(
      "[Features]\nFeature=Tools\ndescription=The tools\nREGKEY=SOFTWARE\\X\nMinversion=2.5\n"
      "Installer=setup.exe\t5000\nAlternate=..\\setup.exe\narguments=/S /D=[InstDir]\n"
      "Installer=http://example.invalid/setup.exe\nAlternate=other\nbin/\nAlternate=x\t3\n"
      "Installer=a\tb\tnotanumber\n[Run]");
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.events,
            (Events{"features", "feature Tools", "key4 The tools", "key3 SOFTWARE\\X", "key7 2.5",
                    "installer setup.exe|5000", "alternate ..\\setup.exe", "arguments /S /D=[InstDir]",
                    "installer http://example.invalid/setup.exe|-", "alternate other", "folder bin",
                    "file Alternate=x|3", "installer a\tb|0", "features-end", "run"}))
      << "Alternate= outside an installer's lines is a file line";

  const std::string digest(64, 'a');
  r = Walk("[Features]\nFeature=T\nInstaller=x.exe\nDigest=" + digest + "\nArguments=/S\n[Run]");
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.events, (Events{"features", "feature T", "installer x.exe|-", "digest " + digest,
                              "arguments /S", "features-end", "run"}));
  const std::pair<std::string, std::string> bad[] = {
      {"Installer=x.exe\nDigest=" + digest.substr(1), "Bad Digest= line"},
      {"Installer=x.exe\nDigest=" + digest + "0", "Bad Digest= line"},
      {"Installer=x.exe\nDigest=" + digest.substr(1) + "g", "Bad Digest= line"},
      {"Installer=x.exe\nDigest=" + digest + "\nDigest=" + digest, "Second Digest= line for one installer"},
      {"Digest=" + digest, "Digest= without an Installer= line above it"},
      {"Installer=x.exe\nbin/\nDigest=" + digest, "Digest= without an Installer= line above it"},
  };
  for (const auto& [lines, message] : bad) {
    r = Walk("[Features]\nFeature=T\n" + lines + "\n[Run]");
    EXPECT_EQ(r.error.substr(0, message.size()), message) << lines;
  }
}

TEST(ManifestComponents, LinesAndFeatureLookup) {
  Result r = Walk("[Features]\nFeature=Plugin\n[Components]\nComponent=C1\nRequired=yes\nSelected=no\n"
                  "Java=YES\nAlternate=C2\nDescription=Plug-in\nplugin\n[Run]");
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.events, (Events{"features", "feature Plugin", "features-end", "components", "component C1",
                              "ckey3 yes", "ckey2 no", "ckey4 YES", "ckey1 C2", "ckey0 Plug-in",
                              "uses plugin", "run"}));

  const std::pair<const char*, const char*> cases[] = {
      {"Description=x", "Description with no component name"},
      {"Alternate=x", "Alternate with no component name"},
      {"Selected=yes", "Selected with no component name"},
      {"Required=yes", "Required with no component name"},
      {"Java=yes", "Java with no component name"},
      {"Plugin", "feature in un-named component"},
  };
  for (const auto& [line, message] : cases) {
    EXPECT_EQ(Walk(std::string("[Features]\nFeature=Plugin\n[Components]\n") + line + "\n[Run]").error, message);
  }
  Result order = Walk("[Components]\nComponent=C\nPlugin\n[Features]\nFeature=Plugin\n[Run]");
  EXPECT_EQ(order.error, "No feature list in manifest");
  EXPECT_EQ(order.line, 3);
  EXPECT_EQ(Walk("[Features]\nFeature=A\n[Components]\nComponent=C\nB\n[Run]").error, "Feature B not in manifest");
  EXPECT_EQ(Walk("[Features]\nFeature=A\n[Features]\nFeature=B\n[Components]\nComponent=C\nA\n[Run]").error,
            "Feature A not in manifest")
      << "a second [Features] replaces the first";
}

TEST(ManifestRegistry, EntriesAndTheirErrors) {
  Result r = Walk("[Registry]\nHKLM\\SOFTWARE\\Maker\\Tool\\Path=\"C:/x\"\nhkcu\\Software\\M\\Count=1F\n"
                  "HKPP\\.tool\\=\"Tool file\"\nXYZ\\k\\v=0\nHKCC\\k\\s=\"say \"hi\"\"\n[Run]");
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.events, (Events{"reg 4|SOFTWARE\\Maker\\Tool|Path|s:C:/x", "reg 3|Software\\M|Count|d:31",
                              "reg 5|.tool||s:Tool file", "reg 0|k|v|d:0", "reg 2|k|s|s:say \"hi\"", "run"}));

  const std::pair<const char*, const char*> cases[] = {
      {"HKLM\\SOFTWARE\\Maker\\Path=\"C:\\x\"", "Bad registry entry under [Registry]"},
      {"HKLMnokey=1", "Bad registry entry under [Registry]"},
      {"HKLM\\onlyone=1", "Bad registry entry under [Registry]"},
      {"HKLM\\k\\v", "Bad registry entry under [Registry]"},
      {"HKLM\\k\\v=\"unterminated", "Bad string registry entry under [Registry]"},
      {"HKLM\\k\\v=zz", "Bad DWORD registry entry under [Registry]"},
  };
  for (const auto& [line, message] : cases) {
    EXPECT_EQ(Walk(std::string("[Registry]\n") + line + "\n[Run]").error, message) << line;
  }
}

TEST(ManifestShortcuts, LinesAndValues) {
  Result r = Walk("[Shortcuts]\nUninstall=resources\\setup.exe>--remove,ICONUN\nTool=bin\\tool.exe,ICON\n[Run]");
  EXPECT_EQ(r.events, (Events{"shortcut Uninstall=resources\\setup.exe>--remove,ICONUN",
                              "shortcut Tool=bin\\tool.exe,ICON", "run"}));
  EXPECT_EQ(Walk("[Shortcuts]\nNoSpec\n[Run]").error, "Bad line in [Shortcuts]");

  auto s = manifest::SplitShortcutValue("resources\\setup.exe>--remove,ICONUN");
  EXPECT_EQ(s.target, "resources\\setup.exe");
  EXPECT_EQ(s.arguments, "--remove");
  EXPECT_EQ(s.icon, "ICONUN");
  s = manifest::SplitShortcutValue("C:\\Other\\prog.exe");
  EXPECT_EQ(s.target, "C:\\Other\\prog.exe");
  EXPECT_FALSE(s.has_arguments);
  EXPECT_FALSE(s.has_icon);
  s = manifest::SplitShortcutValue("bin\\t.exe,ICON");
  EXPECT_EQ(s.target, "bin\\t.exe");
  EXPECT_FALSE(s.has_arguments);
  EXPECT_EQ(s.icon, "ICON");
  s = manifest::SplitShortcutValue("t.exe>-a -b");
  EXPECT_EQ(s.arguments, "-a -b");
  EXPECT_FALSE(s.has_icon);
}

TEST(ManifestExample, ThePluginManifest) {
  Result r = Walk(
      "[Resources]\nBACKGROUND=background.bmp\t1708856\nICONUN=uninstall.ico\t766\n\n"
      "[Variables]\nProduct=TESSERA Plugin\nInstallTESSERAPlugin=true\nVersion=1.34\nCheckInstalledVersions=true\n\n"
      "[Features]\nFeature=Plugin\nbin/\nVELLOQ.dll\t196608\nmsvcp71.dll\t499712\nmsvcr71.dll\t348160\n\n"
      "[Components]\nComponent=Plugin\nRequired=yes\nDescription=TESSERA plugin\nPlugin\n\n[Run]\n");
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.events,
            (Events{"resource BACKGROUND|background.bmp|1708856", "resource ICONUN|uninstall.ico|766",
                    "resources-end", "var Product=TESSERA Plugin", "var InstallTESSERAPlugin=true",
                    "var Version=1.34", "var CheckInstalledVersions=true", "variables-end", "features",
                    "feature Plugin", "folder bin", "file VELLOQ.dll|196608", "file msvcp71.dll|499712",
                    "file msvcr71.dll|348160", "features-end", "components", "component Plugin",
                    "ckey3 yes", "ckey0 TESSERA plugin", "uses Plugin", "run"}));
}

// The product makers' reference heads every section the walker knows with
// "## [Name]", and every key with a heading below its section's.
TEST(ManifestReference, HeadsEverySectionAndKey) {
  std::ifstream doc(SOURCE_DIR "/docs/manifest.md");
  ASSERT_TRUE(doc) << SOURCE_DIR "/docs/manifest.md";
  std::map<std::string, std::string> below;  // a "## " heading: the headings under it
  std::string line, section;
  while (std::getline(doc, line)) {
    if (line.rfind("## ", 0) == 0) {
      section = line;
      below[section];
    } else if (line.rfind("###", 0) == 0) {
      below[section] += line + "\n";
    }
  }
  auto headings_of = [&](const std::string& name) -> const std::string* {
    for (const auto& [heading, headings] : below) {
      if (heading.find("[" + name + "]") != std::string::npos) return &headings;
    }
    return nullptr;
  };
  for (const std::string& name : manifest::Sections()) EXPECT_TRUE(headings_of(name)) << name;
  const std::string* features = headings_of("Features");
  const std::string* components = headings_of("Components");
  ASSERT_TRUE(features && components);
  std::vector<std::string> feature_keys = manifest::FeatureKeys();
  for (const std::string& key : manifest::InstallerKeys()) feature_keys.push_back(key);
  for (const std::string& key : feature_keys) {
    EXPECT_NE(features->find(key), std::string::npos) << key << " under [Features]";
  }
  for (const std::string& key : manifest::ComponentKeys()) {
    EXPECT_NE(components->find(key), std::string::npos) << key << " under [Components]";
  }
}

TEST(ManifestPrefix, CaseInsensitiveRestOrNothing) {
  EXPECT_STREQ(HasPrefix("feature=Main", "Feature="), "Main");
  EXPECT_EQ(HasPrefix("Feat", "Feature="), nullptr);
  EXPECT_EQ(HasPrefix(nullptr, "x"), nullptr);
  EXPECT_EQ(HasPrefix("x", nullptr), nullptr);
}

}  // namespace
