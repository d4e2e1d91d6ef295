"""Runs that end badly or read a manifest someone changed: a tampered
installed manifest must not turn a repair or removal into an attack, an
installation cancelled or killed half-way must leave nothing behind that a
later installation and removal would not clear, and a cancelled removal must
leave an installation that can still be removed."""

import shutil

from winetest import (FRAME_CLASS, LICENCE, WineTest, build_installer, command_line, drive, fatal_run,
                      main, past_the_folder_page, reg_delete, reg_query, start_menu_programs, temp_qz,
                      to_the_work, to_win, wait_for, wine)

MAKER = "MERIDOX Reliability Tests"
PRODUCT_KEY = f"HKLM\\SOFTWARE\\{MAKER}\\Sturdy\\1.0\\PL0"
UNINSTALL = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Sturdy 1.0PL0"
NEXT, CANCEL = 101, 2


def product(files: int, size: int) -> tuple[str, dict]:
    names = [f"f{i:04}.bin" for i in range(files)]
    manifest = (f"[Variables]\nManufacturer={MAKER}\nProduct=Sturdy\nVersion=1.0\nDescription=Sturdy\n"
                "Appname=sturdy.exe\n[Features]\nFeature=Main\nbin/\n" + "".join(n + "\n" for n in names) +
                "[Components]\nComponent=C\nMain\n[Shortcuts]\nSturdy=bin\\f0000.bin\n[Run]\n")
    return manifest, {f"bin/{n}": bytes([i % 251]) * size for i, n in enumerate(names)}


class Reliability(WineTest):
    def setUp(self):
        super().setUp()
        self.links = start_menu_programs() / "MERIDOX Software" / "Sturdy"
        self.forget()
        self.addCleanup(self.forget)

    def forget(self):
        reg_delete(f"HKLM\\SOFTWARE\\{MAKER}")
        reg_delete(UNINSTALL)
        reg_delete("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\sturdy.exe")
        shutil.rmtree(self.links, ignore_errors=True)

    def installer(self, files: int = 3, size: int = 65536):
        out = self.work / f"sturdy{files}x{size}.exe"
        if not out.exists():
            build_installer(*product(files, size), out)
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

        self.assertEqual(self.install(folder, 1000), 0)
        self.assertEqual(wine([folder / "resources" / "setup.exe", "--remove-silently"]), 0)
        self.assert_nothing_left(self.work / "killed")


if __name__ == "__main__":
    main()
