"""The manifest parser and folder resolution, through installers packed by
mkinst and run under Wine: every format error ends the run with its message,
the builder refuses the same manifests with their line numbers, and what the
parser builds (seen through the manifest_dump probe) is right."""

import json
import shutil

from winetest import (LICENCE, WineTest, build_installer, dump, fatal_run, main, probe, reg_add, reg_delete,
                      signature_of, to_win, to_unix, wine)

# (manifest, message, line of the error)
FORMAT_ERRORS = [
    ("Product=x\n[Run]\n", "Invalid manifest format", 1),
    ("[Variables]\nProduct=x\n", "Invalid manifest format", 2),
    ("[Variables]\n[Extras]\n[Run]\n", "Unknown line in manifest: Extras", 2),
    ("[Resources]\nICON\n[Run]\n", "Bad line in [Resources]", 2),
    ("[Variables]\nA=1\n===\n[Run]\n", "Bad line in [Variables]", 3),
    ("[Features]\nDriverInf=x.inf\n[Run]\n", "missing feature name before DriverInf", 2),
    ("[Features]\nDriverDevice=PCI\\VEN_1\n[Run]\n", "missing feature name before DriverDevice", 2),
    ("[Features]\nHKCR=.x\n[Run]\n", "missing feature name before HKCR", 2),
    ("[Features]\nRegkey=SOFTWARE\\x\n[Run]\n", "missing feature name before Regkey", 2),
    ("[Features]\nDescription=x\n[Run]\n", "Description with no feature name", 2),
    ("[Features]\nErrmess=x\n[Run]\n", "missing feature name before Errmess", 2),
    ("[Features]\nRequires=x\n[Run]\n", "missing feature name before Requires", 2),
    ("[Features]\nMinversion=1.0\n[Run]\n", "missing feature name before Minversion", 2),
    ("[Features]\nMaxversion=1.0\n[Run]\n", "missing feature name before Maxversion", 2),
    ("[Features]\nInstaller=setup.exe\n[Run]\n", "missing feature name before Installer", 2),
    ("[Features]\nbin/\n[Run]\n", "missing feature name before folder", 2),
    ("[Features]\nFeature=A\nfile.txt\n[Run]\n", "file in list without preceding folder", 3),
    ("[Features]\nFeature=A\n[Components]\nA\n[Run]\n", "feature in un-named component", 4),
    ("[Registry]\nHKLM\\SOFTWARE\\M\\v=\"open\n[Run]\n", "Bad string registry entry under [Registry]", 2),
    ("[Registry]\nHKLM\\SOFTWARE\\M\\v=xyz\n[Run]\n", "Bad DWORD registry entry under [Registry]", 2),
    ("[Registry]\nHKLM\\SOFTWARE\\M\\v=\"C:\\x\"\n[Run]\n", "Bad registry entry under [Registry]", 2),
    ("[Components]\nComponent=C\nA\n[Features]\nFeature=A\n[Run]\n", "No feature list in manifest", 3),
    ("[Features]\nFeature=A\n[Components]\nComponent=C\nB\n[Run]\n", "Feature B not in manifest", 5),
    ("[Shortcuts]\nNoTarget\n[Run]\n", "Bad line in [Shortcuts]", 2),
]

PLUGIN_MANIFEST = """[Resources]
BACKGROUND=background.bmp
ICONUN=uninstall.ico

[Variables]
Product=TESSERA Plugin
InstallTESSERAPlugin=true
Version=1.34
CheckInstalledVersions=true

[Features]
Feature=Plugin
bin/
VELLOQ.dll
msvcp71.dll
msvcr71.dll

[Components]
Component=Plugin
Required=yes
Description=TESSERA plugin
Plugin

[Run]
"""


class FormatErrors(WineTest):
    def test_every_format_error_ends_the_run_and_is_refused_by_the_builder(self):
        for i, (text, message, line) in enumerate(FORMAT_ERRORS):
            with self.subTest(message=message):
                installer = self.work / f"bad{i}.exe"
                build_installer(text, {}, installer, extra=["--unchecked"])
                run = fatal_run(installer)
                self.assertEqual(run.exit_code, 1, run)
                box = run.boxes[0]
                self.assertEqual((box["caption"], box["text"], box["icon"]), ("Fatal error", message, "error"))

                refused = build_installer(text, {}, self.work / f"refused{i}.exe", check=False)
                self.assertEqual(refused.returncode, 1)
                self.assertIn(f"product.manifest:{line}: {message}", refused.stderr)
                self.assertFalse((self.work / f"refused{i}.exe").exists())

    def test_a_resource_line_without_size_is_refused_by_the_installer(self):
        installer = self.work / "nosize.exe"
        build_installer("[Resources]\nICON=i.ico\n[Run]\n", {"i.ico": b"x"}, installer, extra=["--unchecked"])
        run = fatal_run(installer)
        self.assertEqual(run.boxes[0]["text"], "Bad line in [Resources]")
        self.assertEqual(run.exit_code, 1)


class DumpTest(WineTest):
    """Runs the probe that stands in for the stub and reads what it dumped."""

    def dump(self, manifest: str, files: dict, *args: str) -> dict:
        d = dump(self.work, manifest, files, "--setTrue-KeepTemp", *args)
        self.addCleanup(shutil.rmtree, to_unix(d["variables"]["TmpDir"]), True)
        return d


class Parsed(DumpTest):
    def test_the_plugin_manifest(self):
        files = {"background.bmp": b"B" * 1000, "uninstall.ico": b"I" * 766,
                 "bin/VELLOQ.dll": b"V" * 300, "bin/msvcp71.dll": b"P" * 200, "bin/msvcr71.dll": b"R" * 100}
        d = self.dump(PLUGIN_MANIFEST, files)
        [feature] = d["features"]
        self.assertEqual(feature["name"], "Plugin")
        self.assertEqual(feature["description"], "Plugin")
        self.assertEqual(feature["folders"], [{"name": "bin", "files": [
            ["VELLOQ.dll", 300], ["msvcp71.dll", 200], ["msvcr71.dll", 100]]}])
        [component] = d["components"]
        self.assertEqual((component["name"], component["required"], component["selected"]), ("Plugin", True, True))
        self.assertEqual(component["features"], ["Plugin"])
        tmp = d["variables"]["TmpDir"]
        for name, file, data in (("BACKGROUND", "background.bmp", files["background.bmp"]),
                                 ("ICONUN", "uninstall.ico", files["uninstall.ico"])):
            path = d["variables"][name]
            self.assertEqual(path, f"{tmp}\\{file}")
            self.assertEqual(to_unix(path).read_bytes(), data)
        self.assertEqual([r["variable"] for r in d["resources"]], ["SETUP", "BACKGROUND", "ICONUN"])
        self.assertEqual(d["installed_files"], [], "extracted resources are not installed files")
        self.assertEqual(d["variables"]["Install"], "yes")

    def test_folder_lines_and_instdir_references(self):
        manifest = ("[Features]\nFeature=F\nbin/\na.txt\nbin\\\nbin//\na/b/\n"
                    "[Folders]\n%instdir%\\x\n%INSTDIR%\\y\n[Files]\n%InstDir%\\bin\\a.txt\n"
                    "[Shortcuts]\nTool=%InstDir%\\bin\\a.txt\n[Run]\n")
        d = self.dump(manifest, {"bin/a.txt": b"a"}, "--dir=C:\\Target", LICENCE)
        self.assertEqual([f["name"] for f in d["features"][0]["folders"]], ["bin", "bin", "bin", "a\\b"])
        self.assertEqual(d["created_folders"], ["C:\\Target\\x", "C:\\Target\\y"])
        self.assertEqual(d["installed_files"], ["C:\\Target\\bin\\a.txt"])
        self.assertEqual(d["shortcuts"], [["Tool", "C:\\Target\\bin\\a.txt", "", ""]])

    def test_an_installed_manifest_follows_its_folder(self):
        dump = probe("manifest_dump")
        resources = self.work / "Moved Here" / "Resources"
        resources.mkdir(parents=True)
        setup = resources / "setup.exe"
        shutil.copy(dump, setup)
        (resources / "manifest").write_text(
            f"{signature_of(dump)}\n[Variables]\nProduct=P\nSETUP=%InstDir%\\resources\\setup.exe\n"
            "[Files]\n%InstDir%\\bin\\a.txt\n%INSTDIR%\\resources\\setup.exe\n"
            "[Folders]\n%InstDir%\\bin\n%InstDir%\n[Shortcuts]\nUninstall=resources\\setup.exe>--remove,ICONUN\n[Run]\n")
        out = self.work / "dump.json"
        self.assertEqual(wine([setup, f"--setVariable-DumpTo={to_win(out)}"]), 0)
        d = json.loads(out.read_text(encoding="latin-1"))
        top = to_win(self.work / "Moved Here")
        self.assertEqual(d["variables"]["InstDir"], top)
        self.assertEqual(d["variables"]["SETUP"], top + "\\resources\\setup.exe")
        self.assertEqual(d["installed_files"], [top + "\\bin\\a.txt", top + "\\resources\\setup.exe"])
        self.assertEqual(d["created_folders"], [top + "\\bin", top])
        self.assertIsNone(d["variables"]["Install"], "an installed copy is no installation")

    def test_an_installed_manifest_beside_a_program_elsewhere_keeps_instdir(self):
        dump = probe("manifest_dump")
        folder = self.work / "elsewhere"
        folder.mkdir()
        shutil.copy(dump, folder / "setup.exe")
        (folder / "manifest").write_text(f"{signature_of(dump)}\n[Files]\n%InstDir%\\x\n[Run]\n")
        out = self.work / "dump.json"
        self.assertEqual(wine([folder / "setup.exe", f"--setVariable-DumpTo={to_win(out)}", "--dir=C:\\Given",
                               LICENCE]), 0)
        d = json.loads(out.read_text(encoding="latin-1"))
        self.assertEqual(d["variables"]["InstDir"], "C:\\Given")
        self.assertEqual(d["installed_files"], ["C:\\Given\\x"])


IDENTITY = ("[Variables]\nManufacturer=Folder Tests\nProduct=Resolver\nVersion=3.1\nDescription=Resolver Suite\n"
            "{extra}[Features]\nFeature=F\nbin/\nf.txt\n[Components]\nComponent=C\nF\n[Run]\n")


class FolderResolution(DumpTest):
    key = "HKLM\\SOFTWARE\\Folder Tests"

    def setUp(self):
        super().setUp()
        reg_delete(self.key)
        self.addCleanup(reg_delete, self.key)

    def resolve(self, *args, extra=""):
        return self.dump(IDENTITY.format(extra=extra), {"bin/f.txt": b"f"}, *args)["variables"]

    def test_shell_folders_and_the_default_folder(self):
        v = self.resolve()
        self.assertEqual(v["ProgramFiles"], "C:\\Program Files")
        self.assertTrue(v["ShortcutFolder"].endswith("\\Start Menu\\Programs\\MERIDOX Software\\Resolver Suite"),
                        v["ShortcutFolder"])
        self.assertEqual(v["InstDir"], "C:\\Program Files\\Folder Tests\\Resolver\\3.1")
        v = self.resolve(extra="ShortcutFolderName=Resolver Tools\nEdition=Pro\n")
        self.assertTrue(v["ShortcutFolder"].endswith("\\MERIDOX Software\\Resolver Tools"))
        self.assertEqual(v["InstDir"], "C:\\Program Files\\Folder Tests\\Resolver\\Pro\\3.1")

    def test_the_shell_wins_over_the_environment(self):
        d = dump(self.work, IDENTITY.format(extra=""), {"bin/f.txt": b"f"}, env={"ProgramFiles": "C:\\Elsewhere"})
        self.assertEqual(d["variables"]["ProgramFiles"], "C:\\Program Files")

    def test_registered_folder_against_the_command_line(self):
        reg_add(self.key + "\\Resolver\\3.1\\PL0", "InstDir", "REG_SZ", "C:\\Registered")
        self.assertEqual(self.resolve("--dir=C:\\Other")["InstDir"], "C:\\Registered",
                         "an interactive re-installation proposes the registered folder")
        self.assertEqual(self.resolve("--dir=C:\\Other", LICENCE)["InstDir"], "C:\\Other")
        self.assertEqual(self.resolve("--dir=DEFAULT", LICENCE)["InstDir"], "C:\\Registered")
        reg_delete(self.key)
        self.assertEqual(self.resolve("--dir=default", LICENCE)["InstDir"],
                         "C:\\Program Files\\Folder Tests\\Resolver\\3.1")


if __name__ == "__main__":
    main()
