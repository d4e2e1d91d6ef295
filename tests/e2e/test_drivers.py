"""Device drivers of features: the INF files into the driver store (under
Wine C:\\windows\\inf, where a copy keeps its own name), present devices
updated through newdev.dll, and the boxes for what fails. Wine's newdev.dll
only pretends to update, so the installer gets the tests' own in the system
folder (the only place it takes the library from), which records each update
and answers as the test says."""

import os
import shutil

from winetest import (FRAME_CLASS, LICENCE, WIN_BUILD, WineTest, build_installer, command_line, drive, drive_c,
                      finish, main, reg_delete, to_the_work, to_win, wait_for, wine)

# A root-enumerated device of the system class, with nothing to copy and no service.
INF = """[Version]
Signature="$WINDOWS NT$"
Class=System
ClassGuid={{4d36e97d-e325-11ce-bfc1-08002be10318}}
Provider=%Maker%
DriverVer=01/01/2024,1.0.0.0
[Manufacturer]
%Maker%=Models,NTx86
[Models.NTx86]
%Device%=Install,Root\\Meridox{0}
[Install]
[Install.Services]
AddService=,2
[Strings]
Maker="MERIDOX Tests"
Device="MERIDOX {0}"
""".replace("\n", "\r\n")
MANIFEST = """[Variables]\nManufacturer=MERIDOX Tests\nProduct=Drivers\nVersion=1.0\n[Features]
Feature=Sensor\nDriverInf=\\sensor.inf\ndrivers/\nsensor.inf
Feature=Pad\nDriverInf=pad.inf\nDriverDevice=Root\\MeridoxPad\ndrivers/\npad.inf
Feature=Docs\ndoc/\nreadme.txt
Feature=Missing\nDriverInf=missing.inf\ndrivers/\nnotes.txt
Feature=Junk\nDriverInf=junk.inf\ndrivers/\njunk.inf
[Components]\nComponent=All\nSensor\nPad\nDocs\nMissing\nJunk\n[Run]\n"""
FILES = {"drivers/sensor.inf": INF.format("Sensor").encode(), "drivers/pad.inf": INF.format("Pad").encode(),
         "doc/readme.txt": b"read me", "drivers/notes.txt": b"notes",
         "drivers/junk.inf": b"[Version]\r\nClass=System\r\n"}  # no signature: not valid
STORE = drive_c() / "windows" / "inf"
ERROR = ("Driver Install Error", "error")
FAILED = [(*ERROR, "Unable to install driver files for Missing\n\nFile not found."),
          (*ERROR, "Unable to install driver files for Junk\n\nError 0xE0000100")]


def files_of_prefix() -> set[str]:
    return {os.path.join(d, n) for d, dirs, files in os.walk(drive_c()) for n in dirs + files}


class Drivers(WineTest):
    def setUp(self):
        super().setUp()
        before = set(STORE.iterdir())
        self.addCleanup(lambda: [p.unlink() for p in set(STORE.iterdir()) - before])
        for key in ("HKLM\\SOFTWARE\\MERIDOX Tests",
                    "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Drivers 1.0PL0"):
            self.addCleanup(reg_delete, key)
        self.installer = self.work / "drivers.exe"
        build_installer(MANIFEST, FILES, self.installer)
        system = drive_c() / "windows" / "system32" / "newdev.dll"
        self.addCleanup(system.write_bytes, system.read_bytes())
        shutil.copy(WIN_BUILD / "stand-ins" / "newdev.dll", system)
        self.log = self.work / "newdev.log"
        self.log.touch()

    def run_installer(self, folder: str, answer: str, boxes: list, *args: str, interactive=False):
        """Runs the installer into `folder` and answers the boxes it should
        show; the installation before it is removed first (one installation
        of a product at a time; the driver store keeps its INF files)."""
        for earlier in self.work.glob("*/resources/setup.exe"):
            self.assertEqual(wine([earlier, "--remove-silently"]), 0)
            wait_for(lambda: not earlier.exists(), 20)
        env = {"WINEDLLOVERRIDES": os.environ.get("WINEDLLOVERRIDES", "") + ";newdev=n",
               "NEWDEV_LOG": to_win(self.log), "NEWDEV_ANSWER": answer}
        steps = [{"do": "start", "cmdline": command_line(self.installer, f"--dir={to_win(self.work / folder)}",
                                                          *([] if interactive else [LICENCE]), *args)}]
        answers = [{"do": "box", "press": "ok"} for _ in boxes]
        if interactive:
            # The last box stays while the test reads the progress page, then it is answered.
            steps += [*to_the_work(), *answers[:-1],
                      {"do": "box", "timeout_ms": 30000}, {"do": "controls"},
                      {"do": "wait_window", "class": "#32770"}, {"do": "click", "id": 1},
                      {"do": "wait_window", "class": FRAME_CLASS}, *finish()]
        else:
            steps += [*answers, {"do": "wait_exit", "timeout_ms": 30000}]
        run = drive(steps, env=env)
        self.assertEqual(run.exit_code, 0, run)
        self.assertEqual([(b["caption"], b["icon"], b["text"]) for b in run.boxes], boxes)
        return run

    def updates(self) -> list[list[str]]:
        return [line.split("\t") for line in self.log.read_text(encoding="latin-1").splitlines()]

    def test_store_updates_and_failures(self):
        outside = files_of_prefix()
        # Interactive: the boxes are owned by the frame, and so is the update.
        pad_failed = (*ERROR, "Unable to driver for active devices for Pad\n\nAccess denied.")
        run = self.run_installer("first", "5", [pad_failed, *FAILED], interactive=True)
        frame = run.of("wait_window")[0]["hwnd"]
        self.assertEqual({b["owner"] for b in run.boxes}, {frame})
        pad = to_win(self.work / "first" / "drivers" / "pad.inf")
        self.assertEqual(self.updates(), [[str(frame), "Root\\MeridoxPad", pad, "0"]])
        status = run.controls()[501]["text"]
        self.assertIn("Copying file pad.inf\r\n        Installing driver pad.inf\r\n", status)
        self.assertEqual(status.count("Installing driver"), 4, "none for the feature without a driver")
        for name in ("sensor", "pad"):
            self.assertEqual((STORE / f"{name}.inf").read_bytes(), FILES[f"drivers/{name}.inf"])
        self.assertFalse((STORE / "junk.inf").exists())
        self.assertTrue((self.work / "first/resources/setup.exe").exists(), "the installation went on")
        new = files_of_prefix() - outside
        self.assertEqual({p for p in new if not p.startswith(str(drive_c() / "tests"))},
                         {str(STORE / n) for n in ("sensor.inf", "sensor.pnf", "pad.inf", "pad.pnf")})

        # Again: the store holds both INF files (error 80): no box, no update.
        run = self.run_installer("again", "5", FAILED)
        self.assertEqual({b["owner"] for b in run.boxes}, {0}, "headless: no owner")
        self.assertEqual(len(self.updates()), 1)
        # An update that asks for a restart says so; one that fails with 80 does not.
        (STORE / "pad.inf").unlink()
        restart = ("Driver Install", "information",
                   "The driver for Pad is installed.\nRestart the computer to finish its installation.")
        self.run_installer("restart", "restart", [restart, *FAILED])
        for answer, args in (("80", ()), ("restart", ("--setTrue-SuppressMessages",))):
            (STORE / "pad.inf").unlink()
            self.run_installer(answer, answer, FAILED, *args)
        self.assertEqual([u[:2] for u in self.updates()],
                         [[str(frame), "Root\\MeridoxPad"]] + [["0", "Root\\MeridoxPad"]] * 3)


if __name__ == "__main__":
    main()
