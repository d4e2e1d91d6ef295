"""Runs that end badly or read a manifest someone changed: a tampered
installed manifest must not turn a repair or removal into an attack, an
installation cancelled, failed or killed half-way must leave the machine as
it was (what it overwrote put back), a cancelled removal must leave an
installation that can still be removed, and what users do while a page works
(a second Next, closing the window) must not break the run."""

import hashlib
import os
import shutil
import subprocess
import threading
import time
from pathlib import Path

from winetest import (ARTIFACTS, FRAME_CLASS, LICENCE, WineTest, bmp_to_png, build_installer, command_line,
                      drive, fatal_run, finish, held_open, journals, look_at_box, main, past_the_folder_page, probe,
                      pending_deletions, reg_add, to_unix,
                      reg_delete, reg_query, start_menu_programs, temp_qz, to_the_work, to_win, wait_for,
                      wine)

MAKER = "MERIDOX Reliability Tests"
PRODUCT_KEY = f"HKLM\\SOFTWARE\\{MAKER}\\Sturdy\\1.0\\PL0"
UNINSTALL = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Sturdy 1.0PL0"
NEXT, CANCEL = 101, 2


def product(files: int, size: int, version: str = "1.0", features: str = "", registry: str = "") -> tuple[str, dict]:
    names = [f"f{i:04}.bin" for i in range(files)]
    manifest = (f"[Variables]\nManufacturer={MAKER}\nProduct=Sturdy\nVersion={version}\nDescription=Sturdy\n"
                "Appname=sturdy.exe\n[Features]\nFeature=Main\nbin/\n" + "".join(n + "\n" for n in names) +
                features + "[Components]\nComponent=C\nMain\n" + ("Slow\n" if "Feature=Slow" in features else "") +
                "[Shortcuts]\nSturdy=bin\\f0000.bin\nUninstall=resources\\setup.exe>--remove\n" +
                (f"[Registry]\n{registry}" if registry else "") + "[Run]\n")
    return manifest, {f"bin/{n}": bytes([i % 251]) * size for i, n in enumerate(names)}


# A feature whose external installer runs for a while and leaves a marker.
SLOW = "Feature=Slow\nInstaller=SlowSetup\nArguments=[Marker] 0 3000\n"
TIP = f"HKCU\\Software\\{MAKER}"


class Reliability(WineTest):
    def setUp(self):
        super().setUp()
        self.links = start_menu_programs() / "MERIDOX Software" / "Sturdy"
        self.forget()
        self.addCleanup(self.forget)

    def forget(self):
        reg_delete(f"HKLM\\SOFTWARE\\{MAKER}")
        reg_delete(f"HKCU\\Software\\{MAKER}")
        for version in ("1.1", "3.4", "3.5"):
            reg_delete(UNINSTALL.replace("1.0PL0", version + "PL0"))
        reg_delete(UNINSTALL)
        reg_delete("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\sturdy.exe")
        shutil.rmtree(self.links, ignore_errors=True)

    def installer(self, files: int = 3, size: int = 65536, **kind):
        out = self.work / f"sturdy{files}x{size}{abs(hash(str(kind)))}.exe"
        if not out.exists():
            build_installer(*product(files, size, **kind), out)
        return out

    def install(self, folder, files: int = 3, size: int = 65536) -> int:
        return wine([self.installer(files, size), f"--dir={to_win(folder)}", LICENCE])

    def assert_nothing_left(self, folder):
        self.assertTrue(wait_for(lambda: not folder.exists(), 20), f"{folder} is left")
        self.assertFalse(self.links.exists())
        self.assertIsNone(reg_query(PRODUCT_KEY))
        self.assertIsNone(reg_query(UNINSTALL))
        self.assertIsNone(reg_query("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\sturdy.exe"))

    def test_a_changed_installed_manifest_is_refused(self):
        folder = self.work / "installed"
        self.assertEqual(self.install(folder), 0)
        manifest = folder / "resources" / "manifest"
        original = manifest.read_bytes().decode("latin-1")
        victim = self.work / "victim.txt"
        victim.write_text("precious")
        pwned = self.work / "pwned.txt"
        victim_from_temp = "..\\..\\..\\..\\" + to_win(victim)[3:]
        attacks = {
            "a resource that would empty a file": original.replace(
                "[Variables]", f"[Resources]\r\nX={victim_from_temp}\t5\r\n[Variables]"),
            "a command in the removal script": original.replace(
                "resources\\setup.exe\r\n", f'resources\\setup.exe" & echo pwned> "{to_win(pwned)}" & rem "\r\n', 1),
            "a file of someone else's": original.replace("[Files]\r\n", f"[Files]\r\n{to_win(victim)}\r\n"),
        }
        for name, text in attacks.items():
            with self.subTest(attack=name):
                self.assertNotEqual(text, original)
                manifest.write_bytes(text.encode("latin-1"))
                for args in (["--remove-silently"], []):
                    run = fatal_run(folder / "resources" / "setup.exe", *args)
                    self.assertEqual(run.exit_code, 1, run)
                    self.assertEqual([b["caption"] for b in run.boxes], ["Fatal error"])
                self.assertEqual(victim.read_text(), "precious")
                self.assertFalse(pwned.exists())
                self.assertTrue((folder / "bin" / "f0000.bin").exists(), "nothing was removed")
        self.assertIn("does not match the installation registered", run.boxes[0]["text"])

        manifest.write_bytes(original.encode("latin-1"))
        # Started as a headless installer would be, the installed copy has
        # nothing to install: it refuses, and its installation stays whole.
        run = fatal_run(folder / "resources" / "setup.exe", f"--dir={to_win(folder)}", LICENCE)
        self.assertEqual((run.exit_code, run.boxes[0]["caption"]), (1, "Fatal error"), run)
        self.assertTrue(run.boxes[0]["text"].startswith("This program is the installed copy of the installer of Sturdy"))
        self.assertEqual(sorted(p.name for p in (folder / "bin").iterdir()), ["f0000.bin", "f0001.bin", "f0002.bin"])
        self.assertEqual(manifest.read_bytes().decode("latin-1"), original)
        self.assertIsNotNone(reg_query(UNINSTALL))
        self.assertEqual(wine([folder / "resources" / "setup.exe", "--remove-silently"]), 0)
        self.assert_nothing_left(folder)
        self.assertEqual(victim.read_text(), "precious")

    def cancel_mid_way(self, program, *args, confirm: bool = False) -> dict:
        """Starts an interactive run, goes on from the welcome page and
        presses Cancel at once: the click waits in the queue and the question
        comes at the work's first look at it. Returns the status box as it
        stood then."""
        steps = [{"do": "start", "cmdline": command_line(program, *args)},
                 {"do": "wait_window", "class": FRAME_CLASS, "timeout_ms": 30000},
                 {"do": "wait_control", "id": NEXT, "enabled": True}, {"do": "click", "id": NEXT}]
        steps += [{"do": "box", "press": "yes"}] if confirm else past_the_folder_page()
        run = drive([*steps, {"do": "click", "id": CANCEL},
                     {"do": "wait_control", "id": 501, "visible": True, "timeout_ms": 30000},
                     {"do": "sleep", "ms": 300}, {"do": "controls"},
                     {"do": "box", "press": "yes"}, {"do": "wait_exit", "timeout_ms": 60000}])
        self.assertEqual(run.exit_code, 1, run)
        self.assertEqual(run.boxes[-1]["caption"], "Cancel setup")
        return run.controls()[501]

    def test_cancel_in_the_middle_takes_the_installation_back(self):
        temp_before = temp_qz(folders_only=True)
        folder = self.work / "new" / "Sturdy"
        box = self.cancel_mid_way(self.installer(1000), f"--dir={to_win(folder)}")
        self.assertIn("Copying file f0", box["text"])
        self.assertNotIn("Copying resources", box["text"], "Cancel came in the middle")
        self.assertFalse((self.work / "new").exists(), "the folders it made are gone")
        self.assert_nothing_left(folder)
        self.assertEqual(temp_qz(folders_only=True), temp_before)

        # A folder that was there before stays, with a file the run overwrote.
        folder = self.work / "existing"
        (folder / "bin").mkdir(parents=True)
        (folder / "bin" / "f0000.bin").write_bytes(b"older")
        self.cancel_mid_way(self.installer(1000), f"--dir={to_win(folder)}")
        self.assertEqual(sorted(p.name for p in folder.rglob("*")), ["bin", "f0000.bin"])
        self.assertIsNone(reg_query(PRODUCT_KEY))

        # Installed again, then removed: clean both times.
        self.assertEqual(self.install(folder, 1000), 0)
        self.assertEqual(len(list((folder / "bin").iterdir())), 1000)
        self.assertEqual(wine([folder / "resources" / "setup.exe", "--remove-silently"]), 0)
        self.assertTrue(wait_for(lambda: sorted(p.name for p in folder.rglob("*")) == ["bin"], 20),
                        "the folders that were there before stay")
        self.assertIsNone(reg_query(PRODUCT_KEY))

    def test_a_cancelled_removal_can_be_done_again(self):
        folder = self.work / "removed twice"
        self.assertEqual(self.install(folder, 3000, 1), 0)
        box = self.cancel_mid_way(folder / "resources" / "setup.exe", "--remove", confirm=True)
        self.assertIn("Deleting file", box["text"])
        self.assertTrue((folder / "resources" / "manifest").exists(), "the installation can still be removed")
        self.assertEqual(wine([folder / "resources" / "setup.exe", "--remove-silently"]), 0)
        self.assert_nothing_left(folder)

    def test_a_killed_installation_is_cleared_by_the_next_one(self):
        # The driver ends what still runs when its script ends: here, the
        # installation, a moment after its work has begun.
        folder = self.work / "killed" / "Sturdy"
        run = drive([{"do": "start", "cmdline": command_line(self.installer(1000), f"--dir={to_win(folder)}")},
                     *to_the_work(),
                     {"do": "wait_control", "id": 501, "visible": True, "timeout_ms": 30000},
                     {"do": "sleep", "ms": 200}])
        self.assertEqual(len(run.of("end")[0]["terminated"]), 1, "the run was ended from outside")
        self.assertTrue((folder / "bin").exists())
        self.assertFalse((folder / "resources" / "manifest").exists(), "it was killed half-way")
        # The journal lies where only administrators may write, not in the
        # installation's folder, which users may be able to change; its
        # places are this installation's alone.
        self.assertEqual(len(journals()), 1)
        places = [line[2:] for line in journals()[0].read_text(encoding="latin-1").splitlines() if line[:2] == "P\t"]
        self.assertEqual(places, [to_win(folder), to_win(self.links)])
        self.assertEqual(list(folder.rglob("journal")), [])

        self.assertEqual(self.install(folder, 1000), 0)
        self.assertEqual(journals(), [])
        self.assertEqual(wine([folder / "resources" / "setup.exe", "--remove-silently"]), 0)
        self.assert_nothing_left(self.work / "killed")


    def test_a_failure_after_registration_puts_back_what_the_run_overwrote(self):
        # A file and a registry value of the user's, which the installation
        # writes over, and its manifest held by another program: the run
        # fails at its very end, once everything else is done.
        folder = self.work / "over"
        (folder / "resources").mkdir(parents=True)
        (folder / "bin").mkdir()
        (folder / "bin" / "f0000.bin").write_bytes(b"older")
        reg_add(TIP, "Tip", data="old")
        installer = self.installer(registry=f'{TIP}\\Tip="new"\n{TIP}\\Count=5\n')
        with held_open(folder / "resources" / "manifest", self.work):
            run = fatal_run(installer, f"--dir={to_win(folder)}", LICENCE)
        self.assertEqual((run.exit_code, run.boxes[0]["text"]), (1, "Can't open manifest for writing"))
        self.assertEqual(sorted(str(p.relative_to(folder)) for p in folder.rglob("*")),
                         ["bin", "bin/f0000.bin", "resources", "resources/manifest"], "no undo folder is left")
        self.assertEqual((folder / "bin" / "f0000.bin").read_bytes(), b"older")
        self.assertEqual(reg_query(TIP), {"Tip": ("REG_SZ", "old")})
        self.assertIsNone(reg_query(PRODUCT_KEY))
        self.assertIsNone(reg_query(UNINSTALL))
        self.assertFalse(self.links.exists())

        # Killed half-way, then cancelled in the next run: what the killed run
        # overwrote is put back by the next one before anything else.
        installer = self.installer(1000, registry=f'{TIP}\\Tip="new"\n')
        drive([{"do": "start", "cmdline": command_line(installer, f"--dir={to_win(folder)}")}, *to_the_work(),
               {"do": "wait_control", "id": 501, "visible": True, "timeout_ms": 30000}, {"do": "sleep", "ms": 300}])
        self.assertEqual(len(journals()), 1, "the killed run's journal stays")
        self.cancel_mid_way(installer, f"--dir={to_win(folder)}")
        self.assertEqual((folder / "bin" / "f0000.bin").read_bytes(), b"older")
        self.assertEqual(sorted(p.name for p in folder.rglob("*")), ["bin", "f0000.bin", "manifest", "resources"])
        self.assertEqual(reg_query(TIP), {"Tip": ("REG_SZ", "old")})
        self.assertIsNone(reg_query(PRODUCT_KEY))

    def test_what_users_do_while_a_page_works(self):
        folder = self.work / "busy"
        marker = self.work / "marker.txt"
        slow = self.installer(300, 1, version="1.1", features=SLOW)
        setup = probe("fake_setup")
        options = [f"--dir={to_win(folder)}", f"--setVariable-SlowSetup={to_win(setup)}",
                   f"--setVariable-Marker={to_win(marker)}"]
        # Closing the window while the external installer runs asks as Cancel
        # does; yes waits for the installer, then takes everything back.
        shot = self.work / "stop.bmp"
        run = drive([{"do": "start", "cmdline": command_line(slow, *options)}, *to_the_work(),
                     {"do": "wait_control", "id": 0, "contains": "Installing components", "visible": True,
                      "timeout_ms": 30000},
                     {"do": "close"}, {"do": "box", "press": "yes"}, *look_at_box(shot, 1),
                     {"do": "wait_exit", "timeout_ms": 30000}])
        bmp_to_png(shot, "cancel-waits-for-the-installer")
        self.assertEqual(run.exit_code, 1, run)
        self.assertEqual([b["caption"] for b in run.boxes], ["Cancel setup", "Cancel setup"])
        self.assertTrue(run.boxes[1]["text"].startswith("Setup will stop when the program that is running now"))
        self.assertEqual(marker.read_text().split(), ["0", "3000"], "the installer ran to its end")
        self.assertFalse(folder.exists())
        self.assertIsNone(reg_query(UNINSTALL.replace("1.0PL0", "1.1PL0")))

        # A second Next while the folder page removes the previous
        # installation acts on nothing: one installation, complete and removable.
        self.assertEqual(self.install(folder), 0)
        run = drive([{"do": "start", "cmdline": command_line(self.installer(), f"--dir={to_win(folder)}")},
                     {"do": "wait_window", "class": FRAME_CLASS, "timeout_ms": 30000},
                     {"do": "wait_control", "id": NEXT, "enabled": True}, {"do": "click", "id": NEXT},
                     *past_the_folder_page()[:1], {"do": "click", "id": NEXT}, {"do": "box", "press": "yes"},
                     {"do": "click", "id": NEXT}, {"do": "click", "id": NEXT}, *finish()])
        self.assertEqual(run.exit_code, 0, run)
        self.assertEqual([b["caption"] for b in run.boxes], ["Previous Installation"])
        self.assertTrue(wait_for(lambda: (folder / "resources" / "setup.exe").exists(), 10))
        self.assertEqual(len(list((folder / "bin").iterdir())), 3)
        self.assertEqual(wine([folder / "resources" / "setup.exe", "--remove-silently"]), 0)
        self.assert_nothing_left(folder)


    def test_versions_side_by_side_and_files_other_programs_hold(self):
        newer, older = self.work / "3.5", self.work / "3.4"
        for version, folder in (("3.5", newer), ("3.4", older)):
            self.assertEqual(wine([self.installer(version=version), f"--dir={to_win(folder)}", LICENCE]), 0)
        self.assertEqual(wine([older / "resources" / "setup.exe", "--remove-silently"]), 0)
        self.assertTrue(wait_for(lambda: not older.exists(), 20))
        # The shortcuts of that name are the newer version's: they stay.
        links = drive([{"do": "read_link", "path": to_win(self.links / f"{n}.lnk")} for n in ("Sturdy", "Uninstall")])
        self.assertEqual([link["target"].lower() for link in links.of("read_link")],
                         [f"{to_win(newer)}\\bin\\f0000.bin".lower(), f"{to_win(newer)}\\resources\\setup.exe".lower()])

        # A file another program holds is tried again, then set to go at the
        # restart; the user is told, and the removal counts as done.
        held = newer / "bin" / "f0001.bin"
        shot = self.work / "busy.bmp"
        session = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager"
        self.addCleanup(wine, ["reg", "delete", session, "/v", "PendingFileRenameOperations", "/f"])
        with held_open(held, self.work):
            run = drive([{"do": "start", "cmdline": command_line(newer / "resources" / "setup.exe", "--remove-silently")},
                         *look_at_box(shot, 1), {"do": "wait_exit", "timeout_ms": 30000}])
        bmp_to_png(shot, "removal-files-in-use")
        self.assertEqual(run.exit_code, 0, run)
        self.assertEqual(run.boxes[0]["caption"], "Remove installation")
        self.assertIn(to_win(held), run.boxes[0]["text"])
        self.assertIn(to_win(held), reg_query(session, "PendingFileRenameOperations")[1])
        self.assertTrue(wait_for(lambda: sorted(p.name for p in newer.rglob("*")) == ["bin", "f0001.bin"], 20))
        self.assertFalse(self.links.exists())
        # Installed there again, the file and its folders are no longer set
        # to go at the restart (which would delete them from the
        # installation); the other entries stay as they were.
        pending = lambda: pending_deletions().split("\\0\\0")
        before = pending()
        self.assertEqual(wine([self.installer(version="3.5"), f"--dir={to_win(newer)}", LICENCE]), 0)
        ours = {to_win(p).lower() for p in [newer, *newer.rglob("*")]}
        self.assertIn(to_win(held).lower(), ours)
        self.assertEqual(pending(), [e for e in before if e.removeprefix("\\??\\") not in ours])
        self.assertEqual(wine([newer / "resources" / "setup.exe", "--remove-silently"]), 0)

    def test_over_a_previous_installation_while_its_programs_run(self):
        """What another version in the folder holds and this one no longer
        does goes; a running program that did not change stays as it is; a
        changed one and a read-only one are set aside and their copies go
        (what runs, at the restart); the removal deletes read-only files."""
        folder = self.work / "over"
        tool = probe("fake_setup").read_bytes()
        session = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager"
        self.addCleanup(wine, ["reg", "delete", session, "/v", "PendingFileRenameOperations", "/f"])

        def version(v: str, files: dict[str, bytes]) -> Path:
            names = "".join(f"{n}\n" for n in files)
            out = self.work / f"over-{v}.exe"
            build_installer(f"[Variables]\nManufacturer={MAKER}\nProduct=Sturdy\nVersion={v}\nDescription=Sturdy\n"
                            f"[Features]\nFeature=Main\nbin/\n{names}[Components]\nComponent=C\nMain\n"
                            "[Shortcuts]\nSturdy=bin\\tool.exe\n[Run]\n", {f"bin/{n}": d for n, d in files.items()}, out)
            return out
        # Large files too: one the same (read, never written), one that differs
        # only in its last bytes (written whole, its first bytes from the old).
        big = os.urandom(6 << 20)
        old = {"tool.exe": tool, "busy.exe": tool, "plain.bin": b"1" * 5000, "gone.bin": b"gone", "big.bin": big,
               "tail.bin": big}
        new = {"tool.exe": tool, "busy.exe": tool + b"2", "plain.bin": b"2" * 5000, "big.bin": big,
               "tail.bin": big[:-3] + b"new"}
        self.assertEqual(wine([version("3.4", old), f"--dir={to_win(folder)}", LICENCE]), 0)
        (folder / "bin" / "plain.bin").chmod(0o444)
        inode = [(folder / "bin" / name).stat().st_ino for name in ("tool.exe", "big.bin")]
        running = [subprocess.Popen(["wine", str(folder / "bin" / name), to_win(self.work / f"{name}.txt"), "0", "60000"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) for name in ("tool.exe", "busy.exe")]
        try:
            time.sleep(2)
            self.assertEqual(wine([version("3.5", new), f"--dir={to_win(folder)}", LICENCE, "--unattended"]), 0)
            self.assertEqual(sorted(p.name for p in (folder / "bin").iterdir()), sorted(new))
            self.assertEqual({n: (folder / "bin" / n).read_bytes() for n in new}, new)
            self.assertEqual([(folder / "bin" / name).stat().st_ino for name in ("tool.exe", "big.bin")], inode,
                             "the running program and the large unchanged file stayed")
            self.assertEqual((reg_query(UNINSTALL.replace("1.0", "3.4")), journals()), (None, []))
            undo = list(folder.glob("~undo*"))
            pending = reg_query(session, "PendingFileRenameOperations")
            self.assertTrue(not undo or (pending and to_win(undo[0]) in pending[1]),
                            "only a copy still running stays, set to go at the restart")
        finally:
            for p in running:
                p.kill()
                p.wait()
        for path in [folder / "bin" / "tool.exe", folder / "resources" / "manifest", folder / "resources" / "setup.exe"]:
            path.chmod(0o444)
        self.assertEqual(wine([folder / "resources" / "setup.exe", "--remove-silently"]), 0)
        for copy in folder.glob("~undo*"):
            shutil.rmtree(copy)  # the restart's part
        self.assert_nothing_left(folder)

    def test_folders_written_other_ways_runs_at_once_and_an_installer_asked_to_remove(self):
        base = self.work / "forms"
        win = to_win(base)
        forms = (win.replace("\\", "\\\\", 2), win + "\\", win.replace("\\", "/"))
        for typed in forms:
            with self.subTest(typed=typed):
                for _ in range(2):
                    self.assertEqual(wine([self.installer(), f"--dir={typed}", LICENCE]), 0)
                self.assertEqual(reg_query(PRODUCT_KEY, "InstDir"), ("REG_SZ", win))
                self.assertEqual(reg_query(UNINSTALL, "InstallLocation"), ("REG_SZ", f'"{win}"'))
                self.assertEqual(wine([base / "resources" / "setup.exe", "--remove-silently"]), 0)
                self.assert_nothing_left(base)
        # A folder with letters beyond ASCII: its removal's clean-up script
        # names it in the command interpreter's code page.
        accented = self.work / "W\u00eddget \u00dcn\u00efc\u00f6d\u00e9"
        self.assertEqual(self.install(accented), 0)
        self.assertEqual(wine([accented / "resources" / "setup.exe", "--remove-silently"]), 0)
        self.assert_nothing_left(accented)
        # An installation registered in another form before, with the MD5
        # check of its manifest that installations then kept, is found,
        # repaired and removed.
        self.assertEqual(self.install(base), 0)
        reg_add(PRODUCT_KEY, "InstDir", data=forms[0] + "\\")
        manifest = (base / "resources" / "manifest").read_bytes()
        reg_add(PRODUCT_KEY, "ManifestCheck", data=hashlib.md5(manifest).hexdigest().upper())
        setup = base / "resources" / "setup.exe"
        self.assertEqual(wine([setup, "--setTrue-HeadlessInstall", "--setTrue-Repair"]), 0)
        self.assertEqual(self.install(base), 0)

        # Two runs of the product at once: the one that comes second stops.
        log = self.work / "second.log"
        holder = threading.Thread(target=drive, args=([
            {"do": "start", "cmdline": command_line(setup)},
            {"do": "wait_window", "class": FRAME_CLASS, "timeout_ms": 30000}, {"do": "sleep", "ms": 6000},
            {"do": "click", "id": CANCEL}, {"do": "box", "press": "yes", "optional": True}, {"do": "wait_exit"}],))
        holder.start()
        time.sleep(3)
        codes = [wine([setup, "--remove-silently", "--unattended", f"--log={to_win(log)}"]),
                 wine([self.installer(), f"--dir={win}", LICENCE, "--unattended", f"--log={to_win(log)}"])]
        holder.join()
        self.assertEqual(codes, [1, 1])
        self.assertEqual(log.read_text().count("Another setup of Sturdy is at work on this computer"), 2)
        self.assertEqual(len(list((base / "bin").iterdir())), 3, "the installation stays whole")

        # Folders the installation refuses, and an installer asked to remove.
        for option, text in ((f"--dir={win}\\dot.", f'The installation folder "{win}\\dot." has a name that ends in a dot'),
                             ("--dir=C:\\", 'The installation folder "C:\\" is the root of a drive or a share.'),
                             ("--remove-silently", "This is the installer of Sturdy, not its installed copy")):
            with self.subTest(option=option):
                run = fatal_run(self.installer(), option, *([LICENCE] if option.startswith("--dir") else []))
                self.assertEqual((run.exit_code, run.boxes[0]["caption"]), (1, "Fatal error"), run)
                self.assertTrue(run.boxes[0]["text"].startswith(text), run.boxes[0]["text"])
        self.assertFalse((self.work / "(null)").exists() or (base.parent / "dot").exists())
        self.assertFalse((to_unix("C:\\resources")).exists())
        self.assertEqual(wine([setup, "--remove-silently"]), 0)
        self.assert_nothing_left(base)

    def test_folders_the_installation_refuses_or_takes_over(self):
        folder = self.work / "again"
        for _ in range(2):
            self.assertEqual(self.install(folder), 0)
        folders = (folder / "resources" / "manifest").read_text().split("[Folders]")[1].split("[Shortcuts]")[0]
        self.assertEqual([f for f in folders.split() if "%InstDir%" in f],
                         ["%InstDir%\\resources", "%InstDir%\\bin", "%InstDir%"], "every folder, found or made")
        elsewhere = self.work / "elsewhere"
        refusals = [(f"--dir={to_win(elsewhere)}", f"Sturdy version 1.0 is installed already in {to_win(folder)}.\n"
                     "Remove that installation first, or install into its folder."),
                    ("--dir=relative\\path", 'The installation folder "relative\\path" is not a full path.'),
                    # The longest argument the command line takes, and a path too long in it.
                    (f"--dir={to_win(self.work)}\\{'l' * (247 - len(to_win(self.work)))}", "The folder ")]
        for option, text in refusals:
            with self.subTest(option[:40]):
                run = fatal_run(self.installer(), option, LICENCE)
                self.assertEqual((run.exit_code, run.boxes[0]["caption"]), (1, "Fatal error"), run)
                self.assertTrue(run.boxes[0]["text"].startswith(text), run.boxes[0]["text"])
        self.assertFalse(elsewhere.exists())
        self.assertIn("too long", run.boxes[0]["text"])
        # Another version installed over it in its folder takes its registration
        # over: no entry is left naming a remover that the next removal deletes.
        self.assertEqual(wine([self.installer(version="1.1"), f"--dir={to_win(folder)}", LICENCE]), 0)
        self.assertEqual((reg_query(UNINSTALL), reg_query(PRODUCT_KEY)), (None, None))
        self.assertEqual(wine([folder / "resources" / "setup.exe", "--remove-silently"]), 0)
        self.assert_nothing_left(folder)
        self.assertIsNone(reg_query(UNINSTALL.replace("1.0PL0", "1.1PL0")))


if __name__ == "__main__":
    main()
