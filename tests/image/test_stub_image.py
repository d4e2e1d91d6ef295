"""The installer program as a file: a 32-bit GUI image for Intel 80386 that
needs no DLL but Windows' own, with its application manifest (administrator
rights, common controls 6, the systems it supports, per-monitor DPI
awareness), a version resource and an icon. The Windows build of the archive
builder needs no foreign DLL either, and the 64-bit device helper that driver
installers carry only the system's known ones."""

import os
import re
import subprocess
import sys
import unittest
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
WIN_BUILD = Path(os.environ.get("WIN_BUILD_DIR", SOURCE / "build" / "win"))
sys.path.insert(0, str(SOURCE / "tests" / "e2e"))
from winetest import FIRST_SCAN  # noqa: E402
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "ole32.dll",
               "comctl32.dll", "msvcrt.dll", "shlwapi.dll", "oleaut32.dll", "setupapi.dll", "newdev.dll",
               "wininet.dll", "version.dll", "comdlg32.dll", "ws2_32.dll"}
# The libraries the system always takes from its own folder, whatever lies
# beside the program: the only ones the installer may import. It runs with
# administrator rights from folders anybody can write to.
KNOWN_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "ole32.dll",
              "msvcrt.dll"}


def objdump(path: Path) -> str:
    tool = "x86_64-w64-mingw32-objdump" if path.name.endswith("64.exe") else "i686-w64-mingw32-objdump"
    return subprocess.run([tool, "-p", str(path)], capture_output=True, text=True, check=True).stdout


class StubImage(unittest.TestCase):
    stub = WIN_BUILD / "wininst.exe"

    def test_pe32_gui_for_i386(self):
        data = self.stub.read_bytes()
        pe = int.from_bytes(data[0x3C:0x40], "little")
        self.assertEqual(data[pe:pe + 4], b"PE\0\0")
        self.assertEqual(int.from_bytes(data[pe + 4:pe + 6], "little"), 0x14C, "Intel 80386")
        optional = pe + 24
        self.assertEqual(int.from_bytes(data[optional:optional + 2], "little"), 0x10B, "PE32")
        self.assertEqual(int.from_bytes(data[optional + 68:optional + 70], "little"), 2, "Windows GUI")

    def test_stays_small_and_holds_no_archive_magic(self):
        # Every byte is carried by every installer, and each 1024 past the first
        # place an archive is looked for costs every run one more look.
        size = self.stub.stat().st_size
        self.assertLessEqual(size, FIRST_SCAN, f"{size - FIRST_SCAN} bytes past the first scan position")
        # Nor may a program that carries the archive code hold the header's magic as a row:
        # past the first scan position it would be taken for an archive of its own.
        magic = bytes(0xA3 - i for i in range(8))
        for program in (self.stub, WIN_BUILD / "manifest_dump.exe", WIN_BUILD / "limit_probe.exe"):
            self.assertNotIn(magic, program.read_bytes(), program.name)

    def test_formats_are_the_system_formatters(self):
        # The stub formats through the system's printf (wininst/lean_runtime.cpp),
        # which has no size_t, char or intmax_t conversions; Wine's has some,
        # so only the sources show such a format before a user does.
        bad = re.compile(r"%[-+#0]*(?:\d+|\*)?(?:\.(?:\d+|\*))?(?:hh|z|j|t)[diouxXn]")
        for folder in ("wininst", "common"):
            for source in sorted((SOURCE / folder).rglob("*.[ch]*")):
                if source.name == "md5_openssl.cpp":  # the host's
                    continue
                for literal in re.findall(r'"(?:[^"\\\n]|\\.)*"', source.read_text()):
                    self.assertIsNone(bad.search(literal.replace("%%", "")), f"{source.relative_to(SOURCE)}: {literal}")

    def test_imports_only_system_dlls(self):
        for program, allowed in ((self.stub, KNOWN_DLLS), (WIN_BUILD / "mkinst.exe", SYSTEM_DLLS),
                                 (WIN_BUILD / "devupdate64.exe", KNOWN_DLLS)):
            with self.subTest(program=program.name):
                dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", objdump(program))}
                self.assertTrue(dlls)
                self.assertLessEqual(dlls, allowed, dlls - allowed)
        # The stub starts on Windows 7: what came later is looked up at run time.
        self.assertNotRegex(objdump(self.stub), r"\b(GetDpiForWindow|GetSystemMetricsForDpi)\b")

    def test_manifest_version_and_icon(self):
        data = self.stub.read_bytes()
        self.assertRegex(data, rb'requestedExecutionLevel level="requireAdministrator"')
        self.assertRegex(data, rb'name="Microsoft.Windows.Common-Controls" version="6\.0\.0\.0"')
        self.assertIn("VS_VERSION_INFO".encode("utf-16-le"), data)
        self.assertIn("MERIDOX_ICON".encode("utf-16-le"), data, "the icon group is named")
        for system in ("35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                       "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"):
            self.assertTrue(f'<supportedOS Id="{{{system}}}"/>'.encode() in data, system)
        self.assertTrue(re.search(rb">true/pm</dpiAware>\s*<dpiAwareness [^>]*>PerMonitorV2, PerMonitor<", data))


if __name__ == "__main__":
    unittest.main(verbosity=2)
