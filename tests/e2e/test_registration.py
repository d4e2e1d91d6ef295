"""The product's registration in the registry, checked from outside.

product_probe.exe runs the registration's operations with the installer's
own command line, variables and message boxes; `wine reg query` shows what
they left in the registry, Wine's own Add/Remove Programs tool reads the
uninstall entry, and the UI driver answers and records the message boxes."""

import time

from winetest import (WIN_BUILD, WineTest, command_line, drive, main, reg_add, reg_delete, reg_delete_if_empty,
                      reg_query, reg_subkeys, to_win, uninstaller_list, wine)

PROBE = WIN_BUILD / "product_probe.exe"
SOFTWARE = r"HKLM\SOFTWARE"
UNINSTALL = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall"
APP_PATHS = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths"
MAKER = "MERIDOX Software"


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
            "InstallLocation", "InstallDate", "VersionMajor", "VersionMinor"]))
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
        cmd = self.probe_cmdline("check", Version=version, **self.base, **more)
        return drive([{"do": "start", "cmdline": cmd}, *steps, {"do": "wait_exit"}])

    def test_older_version_asks_and_yes_goes_on(self):
        self.installed("9.70", "10.00")
        run = self.run_check("9.65PL1", [{"do": "box", "press": "yes"}])
        self.assertIsNone(run.error, run)
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
        self.assertIsNone(run.error, run)
        self.assertEqual(run.boxes[0]["caption"], "Install older version?")
        self.assertEqual(run.boxes[0]["text"], self.question)
        self.assertEqual(run.exit_code, 1)

    def test_headless_refuses_without_asking(self):
        self.installed("9.70")
        run = self.run_check("9.65", [{"do": "no_box", "for_ms": 5000}], HeadlessInstall="yes")
        self.assertIsNone(run.error, run)
        self.assertEqual(run.exit_code, 1)

    def test_versions_compare_as_text(self):
        # 10.00 sorts below 9.70, so it is no newer version.
        self.installed("10.00")
        run = self.run_check("9.70", [{"do": "no_box", "for_ms": 5000}])
        self.assertIsNone(run.error, run)
        self.assertEqual(run.exit_code, 0)

    def test_nothing_installed_goes_on(self):
        run = self.run_check("9.70", [{"do": "no_box", "for_ms": 5000}])
        self.assertIsNone(run.error, run)
        self.assertEqual(run.exit_code, 0)


class WriteFailure(Registration):
    """A key below a volatile key must be volatile too: Wine, like Windows,
    refuses a non-volatile ProductKey there with error 1021
    (ERROR_CHILD_MUST_BE_VOLATILE)."""

    def run_fatal(self, actions):
        self.forget(SOFTWARE + r"\MeridoxTests", UNINSTALL + r"\Volatile 1.0PL0")
        cmd = self.probe_cmdline(actions, Manufacturer="MeridoxTests", Product="Volatile", Version="1.0",
                                 InstDir=r"C:\Volatile", BuildNo="7")
        run = drive([{"do": "start", "cmdline": cmd}, {"do": "box", "press": "ok"}, {"do": "wait_exit"}])
        self.assertIsNone(run.error, run)
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


if __name__ == "__main__":
    main()
