"""The installer under a 64-bit system, in a 64-bit prefix of its own bench
(winebench.sh start win64): the 32-bit installer runs there under WOW64. One
product with a host-IDE plug-in, a driver, a download and a 64-bit system
program is installed, repaired and removed, and each view a 32-bit program
has is checked: Program Files (x86), HKLM writes under Wow6432Node (reg's
/reg:32 against /reg:64), the uninstall entry, the system folder's Sysnative
alias to the 64-bit programs. Under WOW64 the system refuses device updates to
32-bit processes (ERROR_IN_WOW64), which Wine's newdev.dll does not: the
tests' 32-bit stand-in in the 32-bit system folder answers so, and its
64-bit build in the 64-bit one records what the installer's 64-bit device
helper asks for."""

import hashlib
import os
import shutil
import tempfile
from pathlib import Path

from netserve import Servers
from test_drivers import INF
from winetest import (FRAME_CLASS, LICENCE, STUB, WIN_BUILD, WineTest, build_installer, command_line, drive,
                      drive_c, finish, main, probe, reg_delete, temp_qz, to_win, uninstaller_list, wait_for,
                      wine, wine_output)

SETUP = probe("fake_setup").read_bytes()
PLUGIN = WIN_BUILD / "plugin"
TESTS = r"HKLM\SOFTWARE\MeridoxTests"
MAKER = r"HKLM\SOFTWARE\MERIDOX Tests"
PRODUCT = MAKER + r"\Wide\1.0\PL0"
UNINSTALL = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Wide 1.0PL0"
RESTART = ("Driver Install", "The driver for Pad is installed.\nRestart the computer to finish its installation.")


def value(key: str, name: str, bits: int) -> str | None:
    """A value's data in the registry view of 32 or 64 bits (None: missing)."""
    code, out = wine_output(["reg", "query", key, "/v", name, f"/reg:{bits}"])
    lines = [line.split(None, 2) for line in out.splitlines() if line.strip().startswith(name + " ")]
    return lines[0][2].strip() if code == 0 and lines and len(lines[0]) == 3 else None


class Win64(WineTest):
    def setUp(self):
        super().setUp()
        self.servers = Servers(Path(tempfile.mkdtemp(prefix="servers-")))
        self.addCleanup(shutil.rmtree, self.servers.folder, True)
        self.addCleanup(self.servers.stop)
        self.addCleanup(self.servers.process.stdout.close)
        windows = drive_c() / "windows"
        for folder, build in (("syswow64", "stand-ins"), ("system32", "stand-ins64")):
            system = windows / folder / "newdev.dll"
            self.addCleanup(system.write_bytes, system.read_bytes())
            shutil.copy(WIN_BUILD / build / "newdev.dll", system)
        for name in ("pad.inf", "pad.pnf"):
            self.addCleanup((windows / "inf" / name).unlink, True)
        self.addCleanup(reg_delete, TESTS)
        self.addCleanup(reg_delete, MAKER)
        self.log = self.work / "newdev.log"
        self.log.touch()

    def install(self, answer: str, *args: str, boxes=(RESTART,)):
        env = {"WINEDLLOVERRIDES": os.environ.get("WINEDLLOVERRIDES", "") + ";newdev=n",
               "NEWDEV_LOG": to_win(self.log), "NEWDEV_ANSWER": answer}
        run = drive([{"do": "start", "cmdline": command_line(self.installer, *args, LICENCE)},
                     *[{"do": "box", "press": "ok", "timeout_ms": 30000}] * len(boxes),
                     {"do": "wait_exit", "timeout_ms": 60000}], env=env)
        self.assertEqual((run.exit_code, [(b.get("caption"), b.get("text")) for b in run.boxes]), (0, list(boxes)), run)

    def test_install_repair_and_removal_under_wow64(self):
        t, marker = self.work.name, self.work / "runtime.txt"
        url = self.servers.route(f"/{t}/runtime-setup.exe", SETUP)
        self.installer = self.work / "wide.exe"
        build_installer(f"""[Variables]\nManufacturer=MERIDOX Tests\nProduct=Wide\nVersion=1.0\nDescription=Wide
InstallTESSERAPlugin=yes\nTESSERAPluginVer=1.34\n[Features]
Feature=Tools\nbin/\nVELLOQ.dll\nvelloq_helper.dll
Feature=Pad\nDriverInf=pad.inf\nDriverDevice=Root\\MeridoxPad\ndrivers/\npad.inf
Feature=Runtime\nInstaller={url}\nDigest={hashlib.sha256(SETUP).hexdigest()}\nArguments={to_win(marker)} 0
Feature=Native\nInstaller=C:\\Windows\\Sysnative\\reg.exe
Arguments=add {TESTS}\\Native /v Bits /d 64 /f
[Components]\nComponent=Tools\nRequired=yes\nTools\nComponent=Pad\nPad\nComponent=Runtime\nRuntime
Component=Native\nNative\n[Run]\n""", {"bin/VELLOQ.dll": (PLUGIN / "velloq_needs.dll").read_bytes(),
                                         "bin/velloq_helper.dll": (PLUGIN / "velloq_helper.dll").read_bytes(),
                                         "drivers/pad.inf": INF.format("Pad").encode()}, self.installer)
        temp_before = temp_qz()
        self.install("restart", "--dir=default")

        # The default folder and every HKLM write are the 32-bit program's.
        inst = drive_c() / "Program Files (x86)" / "MERIDOX Tests" / "Wide" / "1.0"
        win = to_win(inst)
        self.assertTrue((inst / "bin" / "VELLOQ.dll").is_file())
        self.assertFalse((drive_c() / "Program Files" / "MERIDOX Tests").exists())
        self.assertEqual((inst / "resources" / "setup.exe").read_bytes(), STUB.read_bytes())
        for key, name, data in ((PRODUCT, "InstDir", win), (UNINSTALL, "DisplayName", "Wide V1.0PL0"),
                                (MAKER + r"\TESSERA Plugin", "currentPath", win + r"\bin\VELLOQ.dll"),
                                (TESTS + r"\Plugin", "Registered", win + r"\bin\VELLOQ.dll")):
            self.assertEqual((value(key, name, 32), value(key, name, 64)), (data, None), key)
        self.assertIn("|||Wide V1.0PL0", uninstaller_list())
        self.assertEqual(value(TESTS + r"\Plugin", "Helper", 32), "0x2a", "its helper DLL found in bin")
        # The download ran; the 64-bit reg.exe, reached through Sysnative, wrote the 64-bit view.
        self.assertEqual(marker.read_text().split(), ["0"])
        self.assertEqual([r["status"] for r in self.servers.requests()], [200])
        self.assertEqual((value(TESTS + r"\Native", "Bits", 64), value(TESTS + r"\Native", "Bits", 32)), ("64", None))
        # The 64-bit device helper updated the device through the 64-bit
        # newdev.dll; the 32-bit one, which refuses, was never asked.
        self.assertEqual(self.log.read_text().splitlines(), [f"0\tRoot\\MeridoxPad\t{win}\\drivers\\pad.inf\t0"])
        self.assertTrue((drive_c() / "windows" / "inf" / "pad.inf").is_file())
        self.assertEqual(temp_qz() - temp_before, set(), "the helper went with the run's temporary folder")

        # A repair through the wizard writes the entries again (no driver, no download).
        wine(["reg", "delete", UNINSTALL, "/f", "/reg:32"])
        self.assertIsNone(value(UNINSTALL, "DisplayName", 32))
        setup = inst / "resources" / "setup.exe"
        run = drive([{"do": "start", "cmdline": command_line(setup)},
                     {"do": "wait_window", "class": FRAME_CLASS, "timeout_ms": 30000},
                     {"do": "wait_control", "id": 602, "visible": True}, {"do": "click", "id": 602},
                     {"do": "wait_control", "id": 101, "enabled": True}, {"do": "click", "id": 101}, *finish()])
        self.assertEqual((run.exit_code, run.boxes), (0, []), run)
        self.assertEqual(value(UNINSTALL, "DisplayName", 32), "Wide V1.0PL0")
        self.assertEqual((len(self.log.read_text().splitlines()), len(self.servers.requests())), (1, 1))

        # The removal leaves nothing of the product in either view.
        self.assertEqual(wine([setup, "--remove-silently"]), 0)
        # The removal script takes the folders once the program has ended.
        self.assertTrue(wait_for(lambda: not (drive_c() / "Program Files (x86)" / "MERIDOX Tests").exists(), 20))
        for bits in (32, 64):
            self.assertEqual([value(k, n, bits) for k, n in ((PRODUCT, "InstDir"), (UNINSTALL, "DisplayName"))],
                             [None, None])
        self.assertNotIn("|||Wide V1.0PL0", uninstaller_list())

        # The helper's failure comes back to the installer, which reports it.
        (drive_c() / "windows" / "inf" / "pad.inf").unlink()
        self.install("5", f"--dir={to_win(self.work / 'again')}", "--no-Runtime", "--no-Native",
                     boxes=[("Driver Install Error", "Unable to driver for active devices for Pad\n\nAccess denied.")])
        self.assertEqual(len(self.log.read_text().splitlines()), 2)
        self.assertEqual(wine([self.work / "again" / "resources" / "setup.exe", "--remove-silently"]), 0)


if __name__ == "__main__":
    main()
