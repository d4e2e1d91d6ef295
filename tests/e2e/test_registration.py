"""The product's registration in the registry, checked from outside.

product_probe.exe runs the registration's operations with the installer's
own command line, variables and message boxes; `wine reg query` shows what
they left in the registry, Wine's own Add/Remove Programs tool reads the
uninstall entry, and the UI driver answers and records the message boxes.
The host IDEs' integration also runs in real installers."""

import os
import shutil
import time

from winetest import (LICENCE, WIN_BUILD, DriverRun, WineTest, build_installer, command_line, drive, drive_c,
                      files_snapshot, main, reg_add, reg_delete, reg_delete_if_empty, reg_query, reg_subkeys,
                      registry_snapshot, start_menu_programs, temp_dir, to_win, uninstaller_list, wait_for, wine)

PROBE = WIN_BUILD / "product_probe.exe"
SOFTWARE = r"HKLM\SOFTWARE"
UNINSTALL = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall"
APP_PATHS = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths"
MAKER = "MERIDOX Software"
TESTS = SOFTWARE + r"\MeridoxTests"
HOLTEK = SOFTWARE + r"\Holtek Inc."
PLUGIN_KEY = TESTS + r"\TESSERA Plugin"
# What the test plug-in (tests/plugin) records when it registers itself.
RECORD_KEY = TESTS + r"\Plugin"
PLUGIN_CAPTION = "TESSERA plugin installation"


def plugin_dll(build: str = "velloq") -> bytes:
    return (WIN_BUILD / "plugin" / f"{build}.dll").read_bytes()


def options(variables: dict) -> list[str]:
    return [f"--setVariable-{name}={value}" for name, value in variables.items()]


def quoted(arg: str) -> str:
    return f'"{arg}"' if " " in arg else arg


def uninstaller_names() -> list[str]:
    """The display names that Wine's Add/Remove Programs tool lists."""
    return [line.split("|||", 1)[1] for line in uninstaller_list().replace("\r", "").split("\n") if "|||" in line]


class Registration(WineTest):
    product = None  # each test names its own product; its keys go in tearDown

    def setUp(self):
        super().setUp()
        self.cleanup = []

    def tearDown(self):
        for key in reversed(self.cleanup):
            reg_delete(key)
        reg_delete_if_empty(SOFTWARE + rf"\{MAKER}")
        super().tearDown()

    def forget(self, *keys):
        self.cleanup.extend(keys)

    def probe(self, action: str, **variables) -> int:
        return wine([PROBE, *options({**variables, "ProbeAction": action})])

    def probe_cmdline(self, action: str, **variables) -> str:
        return command_line(PROBE, *[quoted(a) for a in options({**variables, "ProbeAction": action})])

    def drive_probe(self, action: str, *steps: dict, **variables) -> DriverRun:
        """The probe under the UI driver, which answers its boxes with `steps`."""
        run = drive([{"do": "start", "cmdline": self.probe_cmdline(action, **variables)}, *steps,
                     {"do": "wait_exit"}])
        self.assertIsNone(run.error, run)
        return run

    def report(self, action: str, **variables) -> tuple[int, dict]:
        path = self.work / "report.txt"
        path.unlink(missing_ok=True)
        code = self.probe(action, ProbeReport=to_win(path), **variables)
        lines = path.read_text(encoding="latin-1").splitlines() if path.exists() else []
        report = {}
        for line in lines:
            name, _, value = line.partition("=")
            report.setdefault(name, []).append(value)
        return code, report


class ProductKeys(Registration):
    def test_compiler_registration_and_removal(self):
        inst = r"C:\Program Files\MERIDOX Software\Compiler\9.70"
        setup = inst + r"\resources\setup.exe"
        product_key = SOFTWARE + r"\MERIDOX Software\Compiler\9.70\PL0"
        uninstall_key = UNINSTALL + r"\Compiler 9.70PL0"
        self.forget(SOFTWARE + r"\MERIDOX Software\Compiler", uninstall_key, APP_PATHS + r"\brisc.exe")
        variables = dict(Manufacturer=MAKER, Product="Compiler", Version="9.70",
                         Description="MERIDOX Compiler", InstDir=inst, SETUP=setup, BuildNo="1234abc",
                         Appname="brisc.exe", ICON=inst + r"\resources\compiler.ico",
                         SupportURL="https://support.example.invalid/", PhoneNo="+1 555 0100",
                         UpdateURL="https://updates.example.invalid/", README=inst + r"\readme.txt")

        before = time.strftime("%Y%m%d")
        code, report = self.report("register", **variables)
        after = time.strftime("%Y%m%d")
        self.assertEqual(code, 0)
        self.assertEqual(report["PatchLevel"], ["PL0"])
        self.assertEqual(report["ProductKey"], [r"SOFTWARE\MERIDOX Software\Compiler\9.70\PL0"])

        self.assertEqual(reg_query(product_key), {
            "InstDir": ("REG_SZ", inst),
            "BuildNo": ("REG_DWORD", "0x4d2"),  # 1234: the digits before the first non-digit
        })
        entry = reg_query(uninstall_key)
        self.assertIn(entry.pop("InstallDate"), [("REG_SZ", before), ("REG_SZ", after)])
        # Wine keeps a key's values sorted by name (`wine reg query` and
        # RegEnumValue alike), so only names, types and data can be compared.
        self.assertEqual(entry, {
            "DisplayIcon": ("REG_SZ", inst + r"\resources\compiler.ico"),
            "DisplayName": ("REG_SZ", "MERIDOX Compiler V9.70PL0"),
            "DisplayVersion": ("REG_SZ", "9.70"),
            "HelpLink": ("REG_SZ", "https://support.example.invalid/"),
            "NoRepair": ("REG_DWORD", "0x1"),
            "Publisher": ("REG_SZ", "MERIDOX Software"),
            "UninstallString": ("REG_SZ", f'"{setup}" --remove'),
            "QuietUninstallString": ("REG_SZ", f'"{setup}" --remove-silently --unattended'),
            "InstallLocation": ("REG_SZ", f'"{inst}"'),
            "HelpTelephone": ("REG_SZ", "+1 555 0100"),
            "URLUpdateInfo": ("REG_SZ", "https://updates.example.invalid/"),
            "Readme": ("REG_SZ", inst + r"\readme.txt"),
            "VersionMajor": ("REG_DWORD", "0x9"),
            "VersionMinor": ("REG_DWORD", "0x46"),
        })
        self.assertEqual(reg_query(APP_PATHS + r"\brisc.exe"), {
            "": ("REG_SZ", inst + r"\bin\brisc.exe"),
            "Path": ("REG_SZ", inst + r"\bin"),
        })
        self.assertIn("MERIDOX Compiler V9.70PL0", uninstaller_names())

        self.assertEqual(self.probe("unregister", **variables), 0)
        self.assertIsNone(reg_query(product_key))
        self.assertIsNone(reg_query(SOFTWARE + r"\MERIDOX Software\Compiler\9.70"))
        self.assertIsNone(reg_query(uninstall_key))
        self.assertNotIn("MERIDOX Compiler V9.70PL0", uninstaller_names())
        # The maker's and the product's keys stay, even empty.
        self.assertEqual(reg_subkeys(SOFTWARE + r"\MERIDOX Software\Compiler"), [])

    def test_optional_values_and_app_paths_only_when_set(self):
        uninstall_key = UNINSTALL + r"\Bare 1.0PL3"
        self.forget(SOFTWARE + r"\MeridoxTests", uninstall_key)
        self.assertEqual(self.probe("register", Manufacturer="MeridoxTests", Product="Bare", Version="1.0",
                                    PatchLevel="PL3", Description="Bare", InstDir=r"C:\Bare",
                                    SETUP=r"C:\Bare\resources\setup.exe"), 0)
        self.assertEqual(reg_query(SOFTWARE + r"\MeridoxTests\Bare\1.0\PL3"), {"InstDir": ("REG_SZ", r"C:\Bare")})
        self.assertEqual(sorted(reg_query(uninstall_key)), sorted([
            "DisplayName", "DisplayVersion", "NoRepair", "Publisher", "UninstallString",
            "QuietUninstallString", "InstallLocation", "InstallDate", "VersionMajor", "VersionMinor"]))
        self.assertEqual(reg_query(uninstall_key, "DisplayName"), ("REG_SZ", "Bare V1.0PL3"))
        self.assertIsNone(reg_query(APP_PATHS + r"\Bare"))

    def test_version_numbers(self):
        self.forget(SOFTWARE + r"\MeridoxTests")
        for version, major, minor in [("1.34", "0x1", "0x22"), ("2", "0x2", None), ("1.2.3", "0x1", "0x3")]:
            with self.subTest(version=version):
                key = UNINSTALL + rf"\Numbers {version}PL0"
                self.forget(key)
                self.assertEqual(self.probe("register", Manufacturer="MeridoxTests", Product="Numbers",
                                            Version=version, InstDir=r"C:\Numbers"), 0)
                self.assertEqual(reg_query(key, "VersionMajor"), ("REG_DWORD", major))
                self.assertEqual(reg_query(key, "VersionMinor"), None if minor is None else ("REG_DWORD", minor))
                self.assertEqual(reg_query(key, "DisplayVersion"), ("REG_SZ", version))

    def test_key_names_fixed_at_first_use(self):
        self.forget(SOFTWARE + r"\MeridoxTests", UNINSTALL + r"\Fixed 4.00PL0")
        # An empty patch level counts as none; later changes move nothing.
        code, report = self.report("keys,Version=5.00,PatchLevel=PL9,Product=Moved,register",
                                   Manufacturer="MeridoxTests", Product="Fixed", Version="4.00",
                                   PatchLevel="", InstDir=r"C:\Fixed")
        self.assertEqual(code, 0)
        self.assertEqual(report["ProductKey"], [r"SOFTWARE\MeridoxTests\Fixed\4.00\PL0"])
        self.assertEqual(reg_subkeys(SOFTWARE + r"\MeridoxTests"), ["Fixed"])
        self.assertEqual(reg_query(SOFTWARE + r"\MeridoxTests\Fixed\4.00\PL0", "InstDir"), ("REG_SZ", r"C:\Fixed"))
        self.assertIsNotNone(reg_query(UNINSTALL + r"\Fixed 4.00PL0"))
        self.assertIsNone(reg_query(UNINSTALL + r"\Moved 5.00PL9"))

    def test_edition_in_keys(self):
        self.forget(SOFTWARE + r"\MeridoxTests", UNINSTALL + r"\Ed 2.10PL1")
        code, report = self.report("register", Manufacturer="MeridoxTests", Product="Ed", Edition="Pro",
                                   Version="2.10", PatchLevel="PL1", InstDir=r"C:\Ed")
        self.assertEqual(code, 0)
        self.assertEqual(report["ProductVersionKey"], [r"SOFTWARE\MeridoxTests\Ed\Pro\2.10"])
        self.assertEqual(reg_query(SOFTWARE + r"\MeridoxTests\Ed\Pro\2.10\PL1", "InstDir"), ("REG_SZ", r"C:\Ed"))

    def test_patch_levels_removed_one_by_one(self):
        version_key = SOFTWARE + r"\MeridoxTests\Levels\3.10"
        self.forget(SOFTWARE + r"\MeridoxTests", UNINSTALL + r"\Levels 3.10PL1", UNINSTALL + r"\Levels 3.10PL2")
        common = dict(Manufacturer="MeridoxTests", Product="Levels", Version="3.10", InstDir=r"C:\Levels")
        for level in ("PL1", "PL2"):
            self.assertEqual(self.probe("register", PatchLevel=level, **common), 0)
        self.assertEqual(sorted(reg_subkeys(version_key)), ["PL1", "PL2"])

        self.assertEqual(self.probe("unregister", PatchLevel="PL1", **common), 0)
        self.assertEqual(reg_subkeys(version_key), ["PL2"])
        self.assertIsNone(reg_query(UNINSTALL + r"\Levels 3.10PL1"))
        self.assertIsNotNone(reg_query(UNINSTALL + r"\Levels 3.10PL2"))

        self.assertEqual(self.probe("unregister", PatchLevel="PL2", **common), 0)
        self.assertIsNone(reg_query(version_key))
        self.assertIsNone(reg_query(UNINSTALL + r"\Levels 3.10PL2"))
        self.assertEqual(reg_subkeys(SOFTWARE + r"\MeridoxTests\Levels"), [])

        # Nothing left to delete: every deletion fails and the version's key
        # cannot be listed, so the result is false; the maker's keys stay.
        self.assertEqual(self.probe("unregister", PatchLevel="PL2", **common), 1)
        self.assertEqual(reg_subkeys(SOFTWARE + r"\MeridoxTests"), ["Levels"])


class IdeShortcut(Registration):
    def setUp(self):
        super().setUp()
        ide = SOFTWARE + r"\MERIDOX Software\SANDRIFT"
        self.forget(ide, SOFTWARE + r"\MeridoxTests", UNINSTALL + r"\WithIde 1.0PL0")
        reg_add(ide + r"\4.10\PL0", "InstDir", data=r"C:\IDE\Zero")
        reg_add(ide + r"\4.10\PL2", "InstDir", data=r"C:\IDE\Two")
        reg_add(ide + r"\4.10\PL3", "InstDir", data=r"C:\Tools, Inc\IDE>3")

    def register(self, value):
        variables = dict(Manufacturer="MeridoxTests", Product="WithIde", Version="1.0", InstDir=r"C:\WithIde")
        if value is not None:
            variables["SANDRIFTShortCut"] = value
        code, report = self.report("register", **variables)
        self.assertEqual(code, 0)
        return report["Ide"], report.get("Shortcut", [])

    def test_patch_level_after_L(self):
        self.assertEqual(self.register("4.10L2"), (
            [r"C:\IDE\Two\bin\sandrift.exe"],
            [r"SANDRIFT Integrated Development Environment|C:\IDE\Two\bin\sandrift.exe||"]))

    def test_a_folder_with_comma_and_angle_bracket_stays_whole(self):
        self.assertEqual(self.register("4.10L3")[1],
                         [r"SANDRIFT Integrated Development Environment|C:\Tools, Inc\IDE>3\bin\sandrift.exe||"])

    def test_without_L_the_patch_level_is_PL0(self):
        self.assertEqual(self.register("4.10"), (
            [r"C:\IDE\Zero\bin\sandrift.exe"],
            [r"SANDRIFT Integrated Development Environment|C:\IDE\Zero\bin\sandrift.exe||"]))

    def test_unregistered_ide_gives_no_shortcut(self):
        self.assertEqual(self.register("4.10L7"), ([""], []))
        self.assertEqual(self.register(None), ([""], []))


class VersionCheck(Registration):
    question = ("A newer version (9.70) of Checked, is already installed.\n"
                "Are you sure you want to install version (9.65)?")

    def setUp(self):
        super().setUp()
        self.forget(SOFTWARE + r"\MeridoxTests")
        self.base = dict(Manufacturer="MeridoxTests", Product="Checked")

    def installed(self, *versions):
        for v in versions:
            reg_add(SOFTWARE + rf"\MeridoxTests\Checked\{v}\PL0", "InstDir", data=r"C:\Old")

    def run_check(self, version, steps, **more):
        return self.drive_probe("check", *steps, Version=version, **self.base, **more)

    def test_older_version_asks_and_yes_goes_on(self):
        self.installed("9.70", "9.8")
        run = self.run_check("9.65PL1", [{"do": "box", "press": "yes"}])
        self.assertEqual(len(run.boxes), 1)
        box = run.boxes[0]
        self.assertEqual(box["caption"], "Install older version?")
        self.assertEqual(box["text"], self.question)
        self.assertEqual(box["icon"], "question")
        self.assertEqual([b["id"] for b in box["buttons"]], [6, 7])  # Yes, No
        self.assertEqual(run.exit_code, 0)

    def test_older_version_asks_and_no_stops(self):
        self.installed("9.70")
        run = self.run_check("9.65", [{"do": "box", "press": "no"}])
        self.assertEqual(run.boxes[0]["caption"], "Install older version?")
        self.assertEqual(run.boxes[0]["text"], self.question)
        self.assertEqual(run.exit_code, 1)

    def test_headless_refuses_without_asking(self):
        self.installed("9.70")
        run = self.run_check("9.65", [{"do": "no_box", "for_ms": 5000}], HeadlessInstall="yes")
        self.assertEqual(run.exit_code, 1)

    def test_versions_compare_as_numbers(self):
        self.installed("10.00")
        run = self.run_check("9.70", [{"do": "box", "press": "no"}])
        self.assertEqual((run.boxes[0]["text"].split("\n")[0], run.exit_code),
                         ("A newer version (10.00) of Checked, is already installed.", 1))
        reg_delete(SOFTWARE + r"\MeridoxTests\Checked")
        self.installed("1.9")
        run = self.run_check("1.10", [{"do": "no_box", "for_ms": 5000}])
        self.assertEqual(run.exit_code, 0)

    def test_nothing_installed_goes_on(self):
        run = self.run_check("9.70", [{"do": "no_box", "for_ms": 5000}])
        self.assertEqual(run.exit_code, 0)


class HostIde(Registration):
    """The Holtek IDE's configuration, the CFASM tool paths and the host IDE's
    plug-in, whose test builds record their calls under RECORD_KEY and answer
    with its number Result."""

    def setUp(self):
        super().setUp()
        self.forget(TESTS, HOLTEK, UNINSTALL + r"\Hosted 2.0PL0", UNINSTALL + r"\Carrier 5.0PL0",
                    UNINSTALL + r"\Carrier 5.0PL2", UNINSTALL + r"\TESSERA Plugin 1.50PL0")
        self.links = start_menu_programs() / MAKER / "Hosted"
        self.addCleanup(shutil.rmtree, self.links, True)
        self.inst = to_win(self.work / "inst")
        self.carrier = dict(Manufacturer="MeridoxTests", Product="Carrier", Version="5.0", InstDir=self.inst,
                            InstallTESSERAPlugin="yes", TESSERAPluginVer="1.34")
        self.plugin = dict(self.carrier, Product="TESSERA Plugin", Version="1.50", TESSERAPluginVer="9.99")

    def place(self, folder: str, build: str = "velloq") -> str:
        r"""A plug-in build as folder\bin\VELLOQ.dll; its Windows path."""
        (self.work / folder / "bin").mkdir(parents=True, exist_ok=True)
        (self.work / folder / "bin" / "VELLOQ.dll").write_bytes(plugin_dll(build))
        return to_win(self.work / folder / "bin" / "VELLOQ.dll")

    def registered(self, version: str, path: str):
        reg_delete(RECORD_KEY)
        reg_add(PLUGIN_KEY, "currentVer", data=version)
        reg_add(PLUGIN_KEY, "currentPath", data=path)

    def plugin_now(self) -> tuple:
        """The registered version and path, and the DLL that registered itself last."""
        return tuple((reg_query(key, name) or (0, None))[1] for key, name in
                     [(PLUGIN_KEY, "currentVer"), (PLUGIN_KEY, "currentPath"), (RECORD_KEY, "Registered")])

    def test_installation_configures_the_ides_and_removal_leaves_them(self):
        ide_a, ide_b, odd = (self.work / name for name in ("HT A", "HT B", "odd"))
        for folder in (ide_a, ide_b, odd):
            (folder / "bin").mkdir(parents=True)
        (ide_a / "bin" / "ht-ide3000.ini").write_bytes(b"[Options]\r\nColor=1\r\n[Meridox]\r\nCOMPILER=old\r\n")
        reg_add(HOLTEK + r"\HT-IDE3000\A", "Dir", data=to_win(ide_a))
        reg_add(HOLTEK + r"\HT-IDE3000" + "\\" + "B" * 200, "Dir", data=to_win(ide_b))  # a long key name
        # Enumerated last and passed over: no plain string, 2017 bytes, no
        # Dir, a folder relative to the installer's own.
        reg_add(HOLTEK + r"\Later\Expand", "Dir", "REG_EXPAND_SZ", to_win(odd))
        reg_add(HOLTEK + r"\Later\Long", "Dir", data="C:\\" + "x" * 2013)
        reg_add(HOLTEK + r"\Later\No Dir", "Version", data="7")
        reg_add(HOLTEK + r"\Later\Relative", "Dir", data="odd")
        # Installations whose settings file a user's link leads elsewhere
        # (enumerated before B): a linked bin, a linked file, a file with a
        # second name. The victims stay as they are; each is told.
        victims = self.work / "victims"
        (victims / "folder").mkdir(parents=True)
        for name in ("system.ini", "other.ini"):
            (victims / name).write_bytes(b"[boot]\r\n")
        linked = {n: self.work / f"HT {n}" for n in ("A1", "A2", "A3")}
        linked["A1"].mkdir()
        (linked["A1"] / "bin").symlink_to(victims / "folder")
        for n in ("A2", "A3"):
            (linked[n] / "bin").mkdir(parents=True)
        (linked["A2"] / "bin" / "ht-ide3000.ini").symlink_to(victims / "system.ini")
        os.link(victims / "other.ini", linked["A3"] / "bin" / "ht-ide3000.ini")
        for n, folder in linked.items():
            reg_add(HOLTEK + rf"\HT-IDE3000\{n}", "Dir", data=to_win(folder))
        installer, inst = self.work / "hosted.exe", self.work / "Hosted"
        # velloq_needs.dll loads only when the system looks for its helper in bin.
        manifest = ("[Variables]\nManufacturer=MeridoxTests\nProduct=Hosted\nVersion=2.0\nDescription=Hosted\n"
                    "EditHoltekIDE=yes\nSetupFASM=yes\nInstallTESSERAPlugin=yes\nTESSERAPluginVer=1.34\n"
                    "[Features]\nFeature=Tools\nbin/\nVELLOQ.dll\nvelloq_helper.dll\nbrisc.exe\n[Components]\n"
                    "Component=Tools\nRequired=yes\nTools\n[Shortcuts]\nCompiler=bin\\brisc.exe\n[Run]\n")
        build_installer(manifest, {"bin/VELLOQ.dll": plugin_dll("velloq_needs"), "bin/brisc.exe": b"MZ",
                                        "bin/velloq_helper.dll": plugin_dll("velloq_helper")}, installer)
        win, registry_before, files_before = to_win(inst), registry_snapshot(), files_snapshot()
        run = drive([{"do": "start", "cmdline": command_line(installer, f"--dir={win}", LICENCE)},
                     *[{"do": "box", "press": "ok", "timeout_ms": 60000}] * 3, {"do": "wait_exit", "timeout_ms": 60000}])
        self.assertEqual((run.exit_code, [w["class"] for w in run.windows_seen]), (0, ["#32770"] * 3), run)
        ini = {n: to_win(folder) + "\\bin\\ht-ide3000.ini" for n, folder in linked.items()}
        self.assertEqual([b["text"].replace("\\\n", "\\") for b in run.boxes], [
            f"The Holtek IDE's settings file {ini[n]} was not changed: a link or another name of it leads elsewhere "
            f'({where}).\nSet the IDE\'s compiler to "{win}\\bin\\brisc.exe" yourself.' for n, where in (
                ("A1", to_win(linked["A1"]) + "\\bin"), ("A2", to_win(victims / "system.ini")), ("A3", ini["A3"]))])
        self.assertEqual(({p.name: p.read_bytes() for p in victims.iterdir() if p.is_file()},
                          list((victims / "folder").iterdir())),
                         ({"system.ini": b"[boot]\r\n", "other.ini": b"[boot]\r\n"}, []))

        compiler = f'[Meridox]\r\nCOMPILER="{win}\\bin\\brisc.exe"\r\n'.encode()
        self.assertEqual((ide_a / "bin" / "ht-ide3000.ini").read_bytes(), b"[Options]\r\nColor=1\r\n" + compiler)
        self.assertEqual((ide_b / "bin" / "ht-ide3000.ini").read_bytes(), compiler)
        link = drive([{"do": "read_link", "path": to_win(self.links / "HT-IDE3000.lnk")}]).of("read_link")[0]
        self.assertEqual([link[k] for k in ("target", "description", "arguments", "working_dir", "icon_path")],
                         [to_win(ide_b / "bin" / "ht-ide3000.exe"), "Run Holtek HT-IDE3000", "", "", ""])
        values = reg_query(TESTS + r"\Hosted\2.0\PL0")
        self.assertRegex(values.pop("ManifestCheck")[1], "^[0-9A-F]{64}$")
        self.assertEqual(values, {  # no slot known: no MPIndex
            "InstDir": ("REG_SZ", win), "fasm": ("REG_SZ", win + r"\CFASMTools\CFASM.exe"),
            "fasmsetup": ("REG_SZ", win + r"\CFASMTools\SimConfigSetup.exe")})
        dll = win + r"\bin\VELLOQ.dll"
        self.assertEqual(self.plugin_now(), ("1.34", dll, dll))
        self.assertEqual([reg_query(RECORD_KEY, n)[1] for n in ("Calls", "Ole", "Helper")], ["0x1", "0x1", "0x2a"])

        def rel(path):
            return str(path.relative_to(drive_c()))

        def files_changed():  # the driver's scripts and the removal script come and go
            after = files_snapshot()
            return {p for p in after.keys() | files_before.keys() if after.get(p, 0) != files_before.get(p, 0)
                    and not p.startswith(("tests/driver-scripts", rel(temp_dir())))}

        def keys_changed():
            return {key for key, _ in registry_snapshot() ^ registry_before}

        software = r"hkey_local_machine\software"
        stays = {software + k for k in (r"\meridoxtests", r"\meridoxtests\hosted", r"\meridoxtests\plugin",
                                        r"\meridoxtests\tessera plugin")}
        inis = {rel(ide / "bin" / "ht-ide3000.ini") for ide in (ide_a, ide_b)}
        self.assertEqual(keys_changed(), stays | {software + r"\meridoxtests\hosted\2.0", software + r"\meridoxtests"
                                                  r"\hosted\2.0\pl0", software + r"\microsoft\windows\currentversion"
                                                  r"\uninstall\hosted 2.0pl0"})
        self.assertEqual({p for p in files_changed() if not p.startswith((rel(inst), rel(self.links.parent)))}, inis)

        # A removal takes the product's keys, files and shortcuts; the IDEs'
        # entries, the registered plug-in and its own registration stay.
        self.assertEqual(wine([inst / "resources" / "setup.exe", "--remove-silently"]), 0)
        self.assertTrue(wait_for(lambda: not inst.exists(), 20))
        self.assertEqual((keys_changed(), files_changed()), (stays, inis))
        self.assertEqual(self.plugin_now(), ("1.34", dll, dll))

    def test_an_older_plugin_never_replaces_a_newer_one_elsewhere(self):
        dll, other, gone = self.place("inst"), self.place("other"), to_win(self.work / "gone.dll")
        for registered, variables, expected in [
            (("1.40", other), self.carrier, ("1.40", other, None)),  # TESSERAPluginVer 1.34, not Version
            (("1.40", dll.upper()), self.carrier, ("1.34", dll, dll)),  # this very file
            (("1.40", gone), self.carrier, ("1.34", dll, dll)),  # a file that is gone counts as none
            (("1.33", other), self.carrier, ("1.34", dll, dll)),
            (("1.60", other), self.plugin, ("1.60", other, None)),  # the plug-in product's own Version
            (("1.60", other), dict(self.plugin, CheckInstalledVersions="true"), ("1.50", dll, dll)),  # asked before
            (("1.60", other), dict(self.carrier, TESSERAPluginVer=None), ("1.60", other, dll)),  # no version
        ]:
            with self.subTest(registered=registered, variables=variables):
                self.registered(*registered)
                run = self.drive_probe("register", {"do": "no_box", "for_ms": 20000},
                                       **{k: v for k, v in variables.items() if v is not None})
                self.assertEqual((run.exit_code, self.plugin_now()), (0, expected))

        # The plug-in product's version check asks against the registered
        # plug-in, not its family's greatest version; another product against its own.
        reg_add(PLUGIN_KEY + r"\9.99\PL0", "InstDir", data=r"C:\Old")
        reg_add(TESTS + r"\Carrier\4.00\PL0", "InstDir", data=r"C:\Old")
        self.registered("1.60", other)
        run = self.drive_probe("check", {"do": "box", "press": "no"}, **self.plugin)
        self.assertEqual(([b["text"] for b in run.boxes], run.exit_code), (["A newer version (1.60) of TESSERA Plugin, "
                         "is already installed.\nAre you sure you want to install version (1.50)?"], 1))
        for registered, variables in [(("9.99", other), self.carrier), (("1.60", gone), self.plugin)]:
            self.registered(*registered)
            self.assertEqual(self.drive_probe("check", {"do": "no_box", "for_ms": 20000}, **variables).exit_code, 0)
        # It has no slot, whatever its key holds.
        reg_add(PLUGIN_KEY + r"\1.50\PL0", "MPIndex", "REG_DWORD", "4")
        self.assertEqual(self.report("slot", **self.plugin)[1]["Slot"], ["-1"])

    def test_plugin_failures_are_reported(self):
        dll = self.place("inst")
        ok = {"do": "box", "press": "ok"}
        for build, result, action, text in [
            ("velloq", "0x80004005", "register", "Registration failed. Error code = 80004005"),
            ("velloq_noexport", None, "register", "Failure: Could not find DLL self-registration entry point"),
            ("velloq_needs", None, "register", f"Failure: Could not load TESSERA plugin: {dll}"),  # no helper
            ("velloq", None, "mta,register", "Failed: Could not initialize OLE"),
        ]:
            with self.subTest(text=text):
                reg_delete(TESTS)
                self.place("inst", build)
                if result:
                    reg_add(RECORD_KEY, "Result", "REG_DWORD", result)
                run = self.drive_probe(action, ok, HeadlessInstall="yes", **self.carrier)
                self.assertEqual([(b["caption"], b["text"], b["icon"]) for b in run.boxes],
                                 [(PLUGIN_CAPTION, text, "error")])
                self.assertEqual((run.exit_code, reg_query(PLUGIN_KEY)), (1, None), "the box ends a headless run")

        # An interactive run goes on after each box; S_FALSE counts as a failure.
        reg_delete(TESTS)
        self.place("inst")
        reg_add(RECORD_KEY, "Result", "REG_DWORD", "1")
        run = self.drive_probe("mta,register", ok, ok, **self.carrier)
        self.assertEqual([b["text"] for b in run.boxes],
                         ["Failed: Could not initialize OLE", "Registration failed. Error code = 1"])
        self.assertEqual((run.exit_code, self.plugin_now()), (0, ("1.34", dll, dll)))

    def test_a_previous_patch_level_in_the_same_folder_hands_its_slot_over(self):
        self.place("inst")
        levels = TESTS + r"\Carrier\5.0"
        for level, folder, index in [("PL0", r"C:\Elsewhere", "5"), ("PL1", self.inst, "3"),
                                     ("PL3", self.inst.lower(), "7")]:
            reg_add(rf"{levels}\{level}", "InstDir", data=folder)
            reg_add(rf"{levels}\{level}", "MPIndex", "REG_DWORD", index)
        code, report = self.report("slot,register", PatchLevel="PL2", **self.carrier)
        self.assertEqual((code, report["Slot"]), (0, ["3"]))
        self.assertEqual([reg_query(rf"{levels}\{level}", "MPIndex") for level in ("PL0", "PL1", "PL2", "PL3")],
                         [("REG_DWORD", "0x5"), None, ("REG_DWORD", "0x3"), ("REG_DWORD", "0x7")])
        # Next time the installation's own number comes first.
        self.assertEqual(self.report("slot", PatchLevel="PL2", **dict(self.carrier, InstDir=r"C:\Elsewhere"))[1]
                         ["Slot"], ["3"])

    def test_cfasm_tools_under_the_product_key(self):
        self.assertEqual(self.probe("cfasm", Manufacturer="MeridoxTests", Product="Tools", Version="1.0",
                                    InstDir=r"C:\Tools"), 0)
        self.assertEqual(reg_query(TESTS + r"\Tools\1.0\PL0"), {
            "fasm": ("REG_SZ", r"C:\Tools\CFASMTools\CFASM.exe"),
            "fasmsetup": ("REG_SZ", r"C:\Tools\CFASMTools\SimConfigSetup.exe")})


class WriteFailure(Registration):
    """A key below a volatile key must be volatile too: Wine, like Windows,
    refuses a non-volatile ProductKey there with error 1021
    (ERROR_CHILD_MUST_BE_VOLATILE)."""

    def run_fatal(self, actions):
        self.forget(SOFTWARE + r"\MeridoxTests", UNINSTALL + r"\Volatile 1.0PL0")
        run = self.drive_probe(actions, {"do": "box", "press": "ok"}, Manufacturer="MeridoxTests",
                               Product="Volatile", Version="1.0", InstDir=r"C:\Volatile", BuildNo="7")
        box = run.boxes[0]
        self.assertEqual((box["caption"], box["text"], box["icon"]),
                         ("Fatal error", "Registry write failure 1021", "error"))
        self.assertEqual(run.exit_code, 1)
        # Nothing was written after the failure.
        self.assertEqual(reg_subkeys(SOFTWARE + r"\MeridoxTests\Volatile\1.0"), [])
        self.assertIsNone(reg_query(UNINSTALL + r"\Volatile 1.0PL0"))

    def test_write_location_fails_fatally(self):
        self.run_fatal("volatile,write-location")

    def test_registration_fails_fatally(self):
        self.run_fatal("volatile,register")

    def test_cfasm_paths_fail_fatally(self):
        self.run_fatal("volatile,cfasm")


if __name__ == "__main__":
    main()
