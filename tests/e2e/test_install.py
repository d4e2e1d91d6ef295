"""Whole installations under Wine, checked from outside the program: the
installed files, the registry, the shortcut files, the installed manifest;
then removals by the installed copy, and the faults on the way."""

import os
import re
import shutil
import subprocess
from pathlib import Path

from winetest import (LICENCE, MKINST, SOURCE_DIR, STUB, WineTest, bmp_to_png, build_installer, journals,
                      command_line, drive, dump, fatal_run, finish, header, held_open, look_at_box, main, reg_add,
                      reg_delete, reg_query, signature_of, start_menu_programs, temp_dir, temp_qz,
                      to_the_work, to_win, uninstaller_list, wait_for, wine)

SAMPLE = SOURCE_DIR / "examples" / "sample"
SAMPLE_FILES = SAMPLE / "files"
PRODUCT_KEY = "HKLM\\SOFTWARE\\MERIDOX Software\\Sample Studio"
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Sample Studio 2.1PL0"
FEATURE_FILES = ["bin/sampletool.exe", "data/palette.bin", "data/settings.ini", "doc/readme.txt",
                 "doc/licence.txt", "examples/sampletool.c"]


def shortcut_folder() -> Path:
    return start_menu_programs() / "MERIDOX Software" / "Sample Studio"


class Installation(WineTest):
    """Installs of one product into folders of the test's own."""

    def setUp(self):
        super().setUp()
        self.forget_sample()
        self.addCleanup(self.forget_sample)

    @staticmethod
    def forget_sample():
        for key in (PRODUCT_KEY, UNINSTALL_KEY, "HKCU\\Software\\MERIDOX Software\\Sample Studio",
                    "HKCR\\SampleStudio.Palette"):
            reg_delete(key)
        shutil.rmtree(shortcut_folder(), ignore_errors=True)

    def sample_installer(self) -> Path:
        installer = self.work / "SampleSetup.exe"
        if not installer.exists():
            r = subprocess.run([str(MKINST), "--stub", str(STUB), "-q", "-o", str(installer),
                                str(SAMPLE / "product.manifest"), str(SAMPLE_FILES)], capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, r.stderr)
        return installer

    def install(self, installer: Path, folder: Path, *args: str) -> int:
        return wine([installer, f"--dir={to_win(folder)}", LICENCE, *args])

    def remove(self, folder: Path) -> int:
        return wine([folder / "resources" / "setup.exe", "--remove-silently"])

    def wait_gone(self, path: Path, timeout: float = 20.0):
        """The removal script deletes setup.exe and busy folders after the run."""
        self.assertTrue(wait_for(lambda: not path.exists(), timeout), f"{path} still there")


class SampleProduct(Installation):
    def test_headless_install_and_removal(self):
        folder = self.work / "Sample Studio"
        installer = self.sample_installer()
        # The maker's start-menu folder is the installation's only when it made it.
        makers_folder_made = not shortcut_folder().parent.exists()
        before = temp_qz(folders_only=True)
        run = drive([{"do": "start", "cmdline": command_line(installer, f"--dir={to_win(folder)}", LICENCE)},
                     {"do": "wait_exit", "timeout_ms": 60000}])
        self.assertEqual(run.exit_code, 0, run)
        self.assertEqual(run.windows_seen, [], "a headless run shows no window")
        self.assertEqual(temp_qz(folders_only=True), before, "the temporary folder is gone")

        for rel in FEATURE_FILES:
            self.assertEqual((folder / rel).read_bytes(), (SAMPLE_FILES / rel).read_bytes(), rel)
        resources = folder / "resources"
        for name in ("background.bmp", "sample.ico", "uninstall.ico"):
            self.assertEqual((resources / name).read_bytes(), (SAMPLE_FILES / name).read_bytes())
        setup = (resources / "setup.exe").read_bytes()
        stub = STUB.read_bytes()
        self.assertEqual(setup, stub, "setup.exe is the stub as built")
        with self.assertRaises(ValueError, msg="and carries no archive header where one is looked for"):
            header(resources / "setup.exe")

        win = to_win(folder)
        self.assertEqual(reg_query(PRODUCT_KEY + "\\2.1\\PL0", "InstDir"), ("REG_SZ", win))
        entry = reg_query(UNINSTALL_KEY)
        self.assertEqual(entry["UninstallString"], ("REG_SZ", f'"{win}\\resources\\setup.exe" --remove'))
        self.assertEqual(entry["DisplayIcon"], ("REG_SZ", f"{win}\\resources\\sample.ico"))
        self.assertEqual(entry["DisplayName"], ("REG_SZ", "Sample Studio V2.1PL0"))
        self.assertIn("Sample Studio V2.1PL0", uninstaller_list())
        self.assertEqual(reg_query(PRODUCT_KEY, "Edition"), ("REG_SZ", "Community"))
        self.assertEqual(reg_query("HKCU\\Software\\MERIDOX Software\\Sample Studio", "ShowTips"), ("REG_DWORD", "0x1"))
        self.assertEqual(reg_query("HKCR\\SampleStudio.Palette", "FriendlyTypeName"),
                         ("REG_SZ", "Sample Studio palette"), "HKPP entries go to HKEY_CLASSES_ROOT")

        links = {p.name for p in shortcut_folder().iterdir()}
        self.assertEqual(links, {"Sample Tool.lnk", "Read Me.lnk", "Uninstall.lnk"})
        run = drive([{"do": "read_link", "path": to_win(shortcut_folder() / "Uninstall.lnk")},
                     {"do": "read_link", "path": to_win(shortcut_folder() / "Sample Tool.lnk")}])
        uninstall, tool = run.of("read_link")
        self.assertEqual(uninstall["target"].lower(), f"{win}\\resources\\setup.exe".lower())
        self.assertEqual(uninstall["arguments"], "--remove")
        self.assertEqual(uninstall["working_dir"].lower(), f"{win}\\resources".lower())
        self.assertEqual((uninstall["icon_path"].lower(), uninstall["icon_index"]),
                         (f"{win}\\resources\\uninstall.ico".lower(), 0))
        self.assertEqual(tool["target"].lower(), f"{win}\\bin\\sampletool.exe".lower())
        self.assertEqual(tool["icon_path"].lower(), f"{win}\\resources\\sample.ico".lower())

        self.check_installed_manifest(folder, installer, makers_folder_made)

        earlier = temp_qz()
        self.assertEqual(self.remove(folder), 0)
        self.wait_gone(folder)
        self.assertFalse(shortcut_folder().exists())
        self.assertIsNone(reg_query(PRODUCT_KEY + "\\2.1"))
        self.assertIsNone(reg_query(UNINSTALL_KEY))
        self.assertIsNotNone(reg_query(PRODUCT_KEY), "the product's key stays")
        self.assertNotIn("Sample Studio V2.1PL0", uninstaller_list())
        self.assertTrue(wait_for(lambda: temp_qz() == earlier, 10), "the script deletes itself and its folder")

    def check_installed_manifest(self, folder: Path, installer: Path, makers_folder_made: bool):
        links = to_win(shortcut_folder())
        expected = [
            signature_of(installer),
            "[Variables]",
            "Manufacturer=MERIDOX Software", "Product=Sample Studio", "Version=2.1", "Description=Sample Studio",
            "ShortcutFolderName=Sample Studio",
            "SETUP=%InstDir%\\resources\\setup.exe", "BACKGROUND=%InstDir%\\resources\\background.bmp",
            "ICON=%InstDir%\\resources\\sample.ico", "ICONUN=%InstDir%\\resources\\uninstall.ico",
            "[Files]",
            *["%InstDir%\\" + f.replace("/", "\\") for f in FEATURE_FILES],
            *["%InstDir%\\resources\\" + n for n in ("setup.exe", "background.bmp", "sample.ico", "uninstall.ico")],
            *[f"{links}\\{n}.lnk" for n in ("Sample Tool", "Read Me", "Uninstall")],
            "%InstDir%\\resources\\manifest",
            "[Folders]",
            links, *([links.rsplit("\\", 1)[0]] if makers_folder_made else []),
            "%InstDir%\\resources", "%InstDir%\\examples", "%InstDir%\\doc", "%InstDir%\\data", "%InstDir%\\bin",
            "%InstDir%",
            "[Shortcuts]",
            "Sample Tool=bin\\sampletool.exe,ICON", "Read Me=doc\\readme.txt",
            "Uninstall=resources\\setup.exe>--remove,ICONUN",
            "[Registry]",
            'HKLM\\SOFTWARE\\MERIDOX Software\\Sample Studio\\Edition="Community"',
            "HKCU\\Software\\MERIDOX Software\\Sample Studio\\ShowTips=1",
            'HKPP\\SampleStudio.Palette\\FriendlyTypeName="Sample Studio palette"',
            "[Run]",
        ]
        text = (folder / "resources" / "manifest").read_bytes().decode("latin-1")
        self.assertEqual(text, "\r\n".join(expected) + "\r\n")

    def test_user_file_survives_with_its_folders(self):
        folder = self.work / "kept"
        self.assertEqual(self.install(self.sample_installer(), folder), 0)
        (folder / "data" / "mine.txt").write_text("user data")
        self.assertEqual(self.remove(folder), 0)
        self.wait_gone(folder / "resources")
        self.assertEqual((folder / "data" / "mine.txt").read_text(), "user data")
        self.assertEqual(sorted(p.name for p in folder.iterdir()), ["data"])
        self.assertEqual(list((folder / "data").iterdir()), [folder / "data" / "mine.txt"])

    def test_existing_empty_folder_goes_only_when_empty(self):
        for keep in (False, True):
            with self.subTest(user_file=keep):
                folder = self.work / f"existing-{keep}"
                folder.mkdir()
                self.assertEqual(self.install(self.sample_installer(), folder), 0)
                manifest = (folder / "resources" / "manifest").read_text()
                self.assertTrue(manifest.endswith("%InstDir%\n[Shortcuts]\n" + manifest.split("[Shortcuts]\n")[1]))
                if keep:
                    (folder / "notes.txt").write_text("mine")
                self.assertEqual(self.remove(folder), 0)
                self.wait_gone(folder / "resources")
                if keep:
                    self.assertEqual([p.name for p in folder.iterdir()], ["notes.txt"])
                else:
                    self.wait_gone(folder)

    def test_a_moved_installation_is_refused_until_installed_again(self):
        old = self.work / "old place"
        new = self.work / "elsewhere" / "new place"
        installer = self.sample_installer()
        self.assertEqual(self.install(installer, old), 0)
        new.parent.mkdir()
        shutil.move(old, new)
        # The registry knows the installation where it was put: its copy at
        # the new place acts on nothing until the product is installed there.
        run = fatal_run(new / "resources" / "setup.exe", "--remove")
        self.assertEqual(run.exit_code, 1, run)
        self.assertIn("does not match the installation registered on this computer for this folder",
                      run.boxes[0]["text"])
        self.assertTrue((new / "bin" / "sampletool.exe").exists())
        self.assertEqual(self.install(installer, new), 0)
        self.assertEqual(wine([new / "resources" / "setup.exe", "--remove-silently"]), 0)
        # Installed over what stood there, it holds every folder it found: nothing is left.
        self.wait_gone(new)
        self.assertFalse(shortcut_folder().exists())


class Selections(Installation):
    MANIFEST = """[Variables]
Manufacturer=MERIDOX Tests
Product=Selections
Version=1.0
{extra}
[Features]
Feature=First
one/
a.bin
b.bin
Feature=Second
two/
c.bin
[Components]
Component=FirstComponent
Selected=no
First
Component=SecondComponent
Second
[Run]
"""
    FILES = {"one/a.bin": os.urandom(70000), "one/b.bin": b"b" * 9000, "two/c.bin": os.urandom(50000)}

    def setUp(self):
        super().setUp()
        self.addCleanup(reg_delete, "HKLM\\SOFTWARE\\MERIDOX Tests")

    def test_a_deselected_component_is_read_past(self):
        installer = self.work / "sel.exe"
        build_installer(self.MANIFEST.format(extra=""), self.FILES, installer)
        folder = self.work / "sel"
        self.assertEqual(self.install(installer, folder), 0)
        self.assertFalse((folder / "one").exists())
        self.assertEqual((folder / "two" / "c.bin").read_bytes(), self.FILES["two/c.bin"])

    def test_a_present_feature_is_read_past(self):
        # A feature whose product the registry shows as installed is never
        # installed again; its records must still be read past.
        key = "HKLM\\SOFTWARE\\MERIDOX Tests\\Installed First"
        reg_add(key, "InstallLocation", "REG_SZ", to_win(self.work))
        manifest = self.MANIFEST.format(extra="").replace(
            "Feature=First\n", "Feature=First\nRegkey=SOFTWARE\\MERIDOX Tests\\Installed First\n").replace(
            "Selected=no\n", "")
        installer = self.work / "present.exe"
        build_installer(manifest, self.FILES, installer)
        folder = self.work / "present"
        self.assertEqual(self.install(installer, folder), 0)
        self.assertFalse((folder / "one").exists())
        self.assertEqual((folder / "two" / "c.bin").read_bytes(), self.FILES["two/c.bin"])

    def test_resources_go_to_resdir(self):
        installer = self.work / "resdir.exe"
        resdir = self.work / "shared place"
        build_installer(self.MANIFEST.format(extra=f"ResDir={to_win(resdir)}"), self.FILES, installer)
        folder = self.work / "main"
        self.assertEqual(self.install(installer, folder), 0)
        self.assertEqual(sorted(p.name for p in (resdir / "resources").iterdir()), ["manifest", "setup.exe"])
        manifest = (resdir / "resources" / "manifest").read_text().splitlines()
        self.assertEqual(manifest[1:3], ["[Variables]", f"InstDir={to_win(folder)}"],
                         "the installed copy is told where the installation is")
        self.assertFalse((folder / "resources").exists())
        self.assertEqual((folder / "two" / "c.bin").read_bytes(), self.FILES["two/c.bin"])
        self.assertEqual(wine([resdir / "resources" / "setup.exe", "--remove-silently"]), 0)
        self.wait_gone(resdir / "resources")
        self.wait_gone(folder)


class Detection(Installation):
    MANIFEST = """[Variables]
Manufacturer=MERIDOX Tests
Product=Detection
Version=1.0
[Features]
Feature=Runtime
Regkey=SOFTWARE\\MERIDOX Tests\\Runtime
Minversion=2.5
Installer=runtime-setup.exe
[Components]
Component=C
Runtime
[Run]
"""
    KEY = "HKLM\\SOFTWARE\\MERIDOX Tests\\Runtime"

    def setUp(self):
        super().setUp()
        self.addCleanup(reg_delete, "HKLM\\SOFTWARE\\MERIDOX Tests")

    def evaluate(self) -> dict:
        return dump(self.work, self.MANIFEST, {})["features"][0]

    def test_minimum_version_against_the_registry(self):
        reg_add(self.KEY, "InstallLocation", "REG_SZ", to_win(self.work) + "\\")
        reg_add(self.KEY, "Version", "REG_DWORD", str(517 << 16))
        f = self.evaluate()
        self.assertEqual((f["present"], f["outdated"]), (True, False))
        reg_add(self.KEY, "Version", "REG_DWORD", str(516 << 16))
        f = self.evaluate()
        self.assertEqual((f["present"], f["outdated"]), (False, False), "no uninstall command: not outdated")
        reg_add(self.KEY, "UninstallString", "REG_SZ", "C:\\old\\uninstall.exe")
        f = self.evaluate()
        self.assertEqual((f["present"], f["outdated"], f["uninstall"]), (False, True, "C:\\old\\uninstall.exe"))
        reg_add(self.KEY, "InstallLocation", "REG_SZ", to_win(self.work / "gone"))
        reg_add(self.KEY, "Version", "REG_DWORD", str(9 << 24))
        f = self.evaluate()
        self.assertEqual((f["present"], f["outdated"]), (False, False), "a folder that is gone counts as nothing")


class Faults(Installation):
    MANIFEST = """[Variables]
Manufacturer=MERIDOX Tests
Product=Faults
Version=1.0
[Features]
Feature=Big
bin/
big.bin
[Components]
Component=C
Big
[Run]
"""

    def setUp(self):
        super().setUp()
        self.addCleanup(reg_delete, "HKLM\\SOFTWARE\\MERIDOX Tests")

    def test_a_full_disk_ends_with_write_error(self):
        mount, mounted = self.small_drive("q", "1m")
        installer = self.work / "big.exe"
        build_installer(self.MANIFEST, {"bin/big.bin": os.urandom(3 << 20)}, installer)
        if not mounted:
            # No mount here: the same error through a file that is never writable.
            (mount / "product" / "bin").mkdir(parents=True)
            (mount / "product" / "bin" / "big.bin").symlink_to("/dev/full")
        before = temp_qz(folders_only=True)
        run = fatal_run(installer, "--dir=Q:\\product", LICENCE)
        self.assertEqual(run.exit_code, 1)
        self.assertEqual(run.boxes[0]["text"], "Write error on Q:\\product\\bin\\big.bin")
        self.assertEqual(temp_qz(folders_only=True), before)
        # The run is taken back whole: nothing is left to remove.
        if mounted:
            self.assertEqual(list(mount.rglob("*")), [])
        self.assertEqual((journals(), reg_query("HKLM\\SOFTWARE\\MERIDOX Tests\\Faults")), ([], None))

    def test_a_folder_that_is_a_file(self):
        folder = self.work / "blocked"
        folder.mkdir()
        (folder / "bin").write_text("not a folder")
        installer = self.work / "blocked.exe"
        build_installer(self.MANIFEST, {"bin/big.bin": b"x"}, installer)
        run = fatal_run(installer, f"--dir={to_win(folder)}", LICENCE)
        self.assertEqual(run.exit_code, 1)
        self.assertEqual(run.boxes[0]["text"], f"Folder {to_win(folder)}\\bin exists but is not a folder!")


    def test_folders_and_manifests_that_once_broke_a_run(self):
        files = {"bin/big.bin": b"x" * 100}
        # A "%" in the folder: the removal script must not read it as a variable.
        folder = self.work / "100% sure %PATH%"
        installer = self.work / "percent.exe"
        build_installer(self.MANIFEST, files, installer)
        self.assertEqual(self.install(installer, folder), 0)
        self.assertEqual(self.remove(folder), 0)
        self.wait_gone(folder)

        # An empty ResDir counts as unset, for the resources and the installed manifest.
        folder = self.work / "empty resdir"
        build_installer(self.MANIFEST.replace("[Features]", "ResDir=\n[Features]"), files, installer)
        self.assertEqual(self.install(installer, folder), 0)
        self.assertTrue((folder / "resources" / "manifest").exists())
        self.assertEqual(self.remove(folder), 0)
        self.wait_gone(folder)

        # Shortcuts without a [Variables] section: the folders are still settled.
        self.addCleanup(reg_delete, "HKLM\\SOFTWARE\\MERIDOX Software\\Bare")
        bare = ("[Features]\nFeature=Big\nbin/\nbig.bin\t100\n[Components]\nComponent=C\nBig\n"
                "[Shortcuts]\nBare Tool=bin\\big.bin\n[Run]\n")
        build_installer(bare, files, installer, extra=["--unchecked"])
        folder = self.work / "bare"
        self.assertEqual(self.install(installer, folder), 0)
        self.assertFalse((self.work / "(null)").exists())
        link = start_menu_programs() / "MERIDOX Software" / "Bare Tool.lnk"
        self.assertTrue(link.exists())
        self.assertIn("Bare Tool.lnk\n", (folder / "resources" / "manifest").read_text())
        self.assertEqual(self.remove(folder), 0)
        self.wait_gone(folder)
        self.assertFalse(link.exists())


class Unattended(Installation):
    """Runs with nobody at the screen: no window, no box, everything in the log."""

    def unattended(self, program: Path, *args: str) -> int:
        run = drive([{"do": "start", "cmdline": command_line(program, "--unattended", *args)},
                     {"do": "wait_exit", "timeout_ms": 60000}])
        self.assertEqual((run.windows_seen, run.boxes), ([], []), run)
        return run.exit_code

    def test_unattended_runs_answer_safely_and_log_everything(self):
        installer = self.sample_installer()
        default_log = temp_dir() / "MERIDOX Installer.log"
        default_log.unlink(missing_ok=True)
        self.assertEqual(self.unattended(installer, LICENCE), 1)
        started, missing, ended = log_lines(default_log)
        self.assertEqual((started, missing, ended), (
            f'Started: "{to_win(installer)}" --unattended "{LICENCE}"',
            "An unattended installation needs the installation folder (--dir=); it is missing.",
            "Ended with exit code 1"))

        log = self.work / "logs" / "run.log"
        log.parent.mkdir()
        self.assertEqual(self.unattended(installer, "--dir=Q:\\nowhere", LICENCE, f"--log={to_win(log)}"), 1)
        self.assertIn("Fatal error: Failed to create folder Q:\\nowhere [OK, unattended]", log_lines(log))
        self.assertIsNone(reg_query(UNINSTALL_KEY))

        # A component the manifest leaves out is chosen, and one whose
        # installer is nowhere: its question is answered No, and the run undone.
        chooser = self.work / "chooser.exe"
        build_installer("[Variables]\nManufacturer=MERIDOX Tests\nProduct=Chooser\nVersion=1.0\n[Features]\n"
                        "Feature=Base\nbin/\nbase.txt\nFeature=Extra\nextra/\nextra.txt\n"
                        "Feature=Runtime\nDescription=Runtime\nInstaller=RUNTIME\n[Components]\n"
                        "Component=Base\nRequired=yes\nBase\nComponent=Extra\nSelected=no\nExtra\n"
                        "Component=Runtime\nRuntime\n[Run]\n",
                        {"bin/base.txt": b"b", "extra/extra.txt": b"e"}, chooser)
        self.addCleanup(reg_delete, "HKLM\\SOFTWARE\\MERIDOX Tests")
        chosen = self.work / "Chooser"
        self.assertEqual(self.unattended(chooser, f"--dir={to_win(chosen)}", LICENCE, f"--log={to_win(log)}",
                                         "--with-Extra", "--with-Runtime"), 1)
        self.assertIn("Installer not found: No installer for Runtime was found |  | Do you want to continue anyway? "
                      "[No, unattended]", log_lines(log))
        self.assertFalse(chosen.exists(), "the run is undone")
        self.assertEqual(self.unattended(chooser, f"--dir={to_win(chosen)}", LICENCE, "--with-Runtime", "--no-runtime",
                                         "--no-Extra", "--with-EXTRA", f"--log={to_win(log)}"), 0)
        self.assertEqual(sorted(p.name for p in chosen.iterdir()), ["bin", "extra", "resources"])
        self.assertEqual(wine([chosen / "resources" / "setup.exe", "--remove-silently"]), 0)

        folder = self.work / "Quiet Studio"
        self.assertEqual(self.unattended(installer, f"--dir={to_win(folder)}", LICENCE, "--no-Examples",
                                         f"--log={to_win(log)}"), 0)
        lines = log_lines(log)
        lines = lines[max(i for i, line in enumerate(lines) if line.startswith("Started: ")):]
        self.assertEqual(lines[lines.index(" Installing Sample Studio program"):][:4], [
            " Installing Sample Studio program", "    Creating folder bin", "        Copying file sampletool.exe",
            "    Creating folder data"])
        self.assertEqual(lines[-1], "Ended with exit code 0")
        self.assertFalse((folder / "examples").exists())
        win = to_win(folder)
        entry = reg_query(UNINSTALL_KEY)
        quiet = f'"{win}\\resources\\setup.exe" --remove-silently --unattended'
        self.assertEqual(entry["QuietUninstallString"], ("REG_SZ", quiet))
        installed = sum(p.stat().st_size for p in folder.rglob("*") if p.is_file())
        self.assertLessEqual(installed / 1024, int(entry["EstimatedSize"][1], 16), entry)
        self.assertEqual(entry["EstimatedSize"][0], "REG_DWORD")
        # The quiet removal, as deployment tools run it, logs where the user's
        # temporary files go.
        default_log.unlink()
        run = drive([{"do": "start", "cmdline": quiet}, {"do": "wait_exit", "timeout_ms": 60000}])
        self.assertEqual((run.exit_code, run.windows_seen), (0, []), run)
        self.wait_gone(folder)
        lines = log_lines(default_log)
        self.assertIn(f"Deleting file {win}\\bin\\sampletool.exe", lines)
        self.assertEqual(lines[-1], "Ended with exit code 0")

    def test_what_the_log_tells_an_administrator(self):
        installer, log = self.sample_installer(), self.work / "deploy.log"
        # An argument too long, before --unattended and --log=: no box, the log says it.
        run = drive([{"do": "start", "cmdline": command_line(installer, "y" * 300, "/S", "--unattended", "/VERYSILENT",
                                                              f"--log={to_win(log)}")},
                     {"do": "wait_exit", "timeout_ms": 60000}])
        self.assertEqual((run.exit_code, run.windows_seen, run.boxes), (1, [], []), run)
        self.assertEqual(log_lines(log)[1:], ["Option not understood, ignored: /S", "Option not understood, ignored: /VERYSILENT",
                                              "Fatal error: Error 917 [OK, unattended]", "Ended with exit code 1"])

        # Products of this installer find each other: a feature found through
        # the sample's uninstall entry, which holds its folder in quotes.
        studio, finder = self.work / "Studio", self.work / "finder.exe"
        self.assertEqual(self.install(installer, studio), 0)
        build_installer("[Variables]\nManufacturer=MERIDOX Tests\nProduct=Finder\nVersion=1.0\n[Features]\n"
                        "Feature=Base\nbin/\nbase.txt\nFeature=Extra\nextra/\nextra.txt\nFeature=Studio\n"
                        "Regkey=" + UNINSTALL_KEY[5:] + "\nInstaller=STUDIOSETUP\n[Components]\nComponent=Base\n"
                        "Required=yes\nBase\nComponent=Studio\nStudio\nComponent=Extras\nSelected=no\nExtra\n"
                        "[Run]\n", {"bin/base.txt": b"b", "extra/extra.txt": b"e"}, finder)
        self.addCleanup(reg_delete, "HKLM\\SOFTWARE\\MERIDOX Tests")

        # Temporary folders that killed runs left: the next run deletes them,
        # never one in use, nor one that is not ours, nor through a link.
        temp, victim = temp_dir(), self.work / "victim"
        (victim / "kept").mkdir(parents=True)
        (victim / "run.mark").write_text("not a run's")
        left = {name: temp / name for name in ("qz9000001", "qz9000002", "qz9000003", "qzlike", "qz9000004",
                                               "qz9000005")}
        for name, folder in left.items():
            self.addCleanup(shutil.rmtree, folder, True)
            if name == "qz9000004":
                folder.symlink_to(victim)
                continue
            (folder / "sub").mkdir(parents=True)
            (folder / "sub" / "setup.exe").write_bytes(b"x")
            if name != "qz9000003":
                (folder / "run.mark").write_text("")
        # Wine removes no link to a folder (Windows does): that one stays, marked.
        (left["qz9000005"] / "sub" / "link").symlink_to(victim)
        self.addCleanup(lambda: (left["qz9000004"].unlink(missing_ok=True)))
        found = self.work / "Finder"
        with held_open(left["qz9000002"] / "run.mark", self.work):
            code = self.unattended(finder, f"--dir={to_win(found)}", LICENCE, "--no-Exampels", "--bogus",
                                   f"--log={to_win(log)}")
        self.assertEqual(code, 0, log.read_text())
        lines = log_lines(log)
        lines = lines[max(i for i, line in enumerate(lines) if line.startswith("Started: ")):]
        self.assertIn("Option not understood, ignored: --bogus", lines)
        self.assertIn("--no-Exampels: the installer has no component of that name.", lines)
        self.assertEqual([line for line in lines if line.startswith("Component ")],
                         ["Component Base: chosen", "Component Studio: chosen", "Component Extras: not chosen"])
        self.assertEqual(lines[-1], "Ended with exit code 0")
        self.assertEqual(sorted(p.name for p in temp.glob("qz900000*")) + sorted(p.name for p in temp.glob("qzl*")),
                         ["qz9000002", "qz9000003", "qz9000004", "qz9000005", "qzlike"])
        self.assertEqual(sorted(p.name for p in victim.iterdir()), ["kept", "run.mark"])
        self.assertEqual(wine([found / "resources" / "setup.exe", "--remove-silently"]), 0)
        self.assertEqual(self.remove(studio), 0)

    def test_logs_go_to_plain_files_and_help_lists_the_options(self):
        installer = self.sample_installer()
        precious = self.work / "precious.txt"
        precious.write_text("kept")
        os.link(precious, self.work / "linked.log")
        (self.work / "real").mkdir()
        (self.work / "via").symlink_to(self.work / "real")
        (self.work / "pub").mkdir()
        (self.work / "pub" / "lnk").symlink_to(self.work / "real")
        folder = self.work / "never"
        for log in ("linked.log", "via\\run.log", "relative.log", "pub/lnk/x.log", "pub/../via/x.log"):
            with self.subTest(log=log):
                target = log if log == "relative.log" else to_win(self.work) + "\\" + log
                self.assertEqual(self.unattended(installer, f"--dir={to_win(folder)}", LICENCE, f"--log={target}"), 1)
        self.assertEqual(precious.read_text(), "kept")
        self.assertEqual(list((self.work / "real").iterdir()), [])
        self.assertFalse(folder.exists())

        shot = self.work / "help.bmp"
        run = drive([{"do": "start", "cmdline": command_line(installer, "/?")}, *look_at_box(shot, 1),
                     {"do": "wait_exit"}])
        self.assertEqual(run.exit_code, 0, run)
        bmp_to_png(shot, "help-box")
        self.assertEqual(run.boxes[0]["caption"], "MERIDOX Installer")
        self.assertTrue(run.boxes[0]["text"].startswith("Options:\n\"--I agree to the terms of the licence\""))
        log = self.work / "help.log"
        self.assertEqual(self.unattended(installer, "--HELP", f"--log={to_win(log)}"), 0)
        self.assertTrue(log_lines(log)[1].startswith("MERIDOX Installer: Options: | "), log.read_text())


def log_lines(log: Path) -> list[str]:
    """The lines of a run's log without their time stamps."""
    lines = log.read_text(encoding="latin-1").splitlines()
    for line in lines:
        assert re.match(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d ", line), line
    return [line[20:] for line in lines]


class Interactive(Installation):
    def test_progress_page_while_installing(self):
        # A file that another program holds keeps the installation on the
        # progress page, behind the Retry box, for as long as the test looks.
        folder = self.work / "Shown"
        installer = self.sample_installer()
        (folder / "doc").mkdir(parents=True)
        locked = folder / "doc" / "readme.txt"
        shot = self.work / "progress.bmp"
        log = self.work / "wizard.log"
        with held_open(locked, self.work, timeout=20) as release:
            run = drive([
                {"do": "start", "cmdline": f'"{to_win(installer)}" "--dir={to_win(folder)}" --log={to_win(log)}'},
                *to_the_work(),
                {"do": "wait_control", "id": 501, "visible": True, "timeout_ms": 30000},
                {"do": "sleep", "ms": 1500},
                {"do": "controls"},
                {"do": "screenshot", "path": to_win(shot)},
                # Another program lets the file go; then Retry succeeds.
                {"do": "start", "cmdline": f'cmd.exe /c type nul > "{to_win(release)}"'},
                {"do": "wait_exit"},
                {"do": "switch", "program": 0},
                {"do": "sleep", "ms": 500},
                {"do": "box", "press": "retry"},
                {"do": "wait_window", "class": "MERIDOX Installer"},
                *finish(),
            ], timeout_ms=30000)
        self.assertEqual(run.exit_code, 0, run)
        bmp_to_png(shot, "install-progress-page")
        box = run.boxes[0]
        self.assertEqual((box["caption"], box["icon"]), ("Can't create file", "warning"))
        self.assertEqual(box["text"], f"The file {to_win(locked)} cannot be written to -\n"
                                      "close any other applications that may be using it")
        controls = run.controls()
        self.assertIn(" Installing Sample Studio program\r\n", controls[501]["text"])
        self.assertTrue(controls[501]["text"].endswith("Copying file readme.txt\r\n"), controls[501]["text"])
        # The log has every line the page showed, then the box it showed and
        # the answer.
        shown = controls[501]["text"].split("\r\n")[:-1]
        lines = log_lines(log)
        at = lines.index(shown[0])
        self.assertEqual(lines[at:at + len(shown) + 1], [*shown, f"Can't create file: {box['text'].replace(chr(10), ' | ')} [Retry]"])
        self.assertEqual(lines[-1], "Ended with exit code 0")
        self.assertTrue(controls[501]["visible"] and controls[502]["visible"])
        self.assertFalse(controls[101]["enabled"] or controls[102]["enabled"], "Next and Back are disabled")
        self.assertEqual(locked.read_bytes(), (SAMPLE_FILES / "doc" / "readme.txt").read_bytes())

        self.assertEqual(self.remove(folder), 0)
        self.wait_gone(folder / "resources")
        self.assertEqual([p.name for p in folder.iterdir()], ["doc"], "the folder made before stays")

    def test_progress_page_while_removing(self):
        files = {f"many/f{i:04}.txt": b"x" for i in range(3000)}
        manifest = ("[Variables]\nManufacturer=MERIDOX Tests\nProduct=Many\nVersion=1.0\n"
                    "[Features]\nFeature=Many\nmany/\n" + "".join(f"f{i:04}.txt\n" for i in range(3000)) +
                    "[Components]\nComponent=C\nMany\n[Run]\n")
        self.addCleanup(reg_delete, "HKLM\\SOFTWARE\\MERIDOX Tests")
        installer = self.work / "many.exe"
        build_installer(manifest, files, installer)
        folder = self.work / "Many"
        self.assertEqual(self.install(installer, folder), 0)
        shot = self.work / "removing.bmp"
        run = drive([
            {"do": "start", "cmdline": f'"{to_win(folder / "resources" / "setup.exe")}" --remove'},
            {"do": "wait_window", "class": "MERIDOX Installer", "timeout_ms": 30000},
            {"do": "wait_control", "id": 101, "enabled": True}, {"do": "click", "id": 101},
            # Cancel, pressed at once, is taken while the removal works: its
            # question keeps the page on the screen mid-way; No goes on.
            {"do": "box", "press": "yes"}, {"do": "click", "id": 2},
            {"do": "wait_control", "id": 501, "visible": True, "timeout_ms": 30000},
            {"do": "sleep", "ms": 300},
            {"do": "screenshot", "path": to_win(shot)},
            {"do": "controls"},
            {"do": "box", "press": "no"},
            *finish(),
        ], timeout_ms=30000)
        self.assertEqual(run.exit_code, 0, run)
        self.assertIn("Deleting file ", run.controls()[501]["text"])
        self.assertEqual(run.boxes[-1]["caption"], "Cancel setup")
        bmp_to_png(shot, "removal-progress-page")
        self.wait_gone(folder)


if __name__ == "__main__":
    main()
