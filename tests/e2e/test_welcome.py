"""The welcome page, driven through the wizard like a user would: a fresh
installation, the installed copy's repair and removal, the removal option,
and the check against a newer installed version. The page text is painted by
the frame, so it is compared with a reference rendering of the expected text
by frame_stub.exe in the same frame."""

import shutil
from pathlib import Path

from winetest import (FRAME_CLASS, Layout, LICENCE, WineTest, bmp_to_png, build_installer, command_line,
                      drive, finish, first_page, main, page_text_pixels, past_the_folder_page,
                      reference_page_text, reg_add, reg_delete, reg_query, start_menu_programs, temp_qz,
                      to_win, wait_for, wine)

MAKER = "MERIDOX Welcome Tests"
FAMILY = f"HKLM\\SOFTWARE\\{MAKER}\\Welcome"
UNINSTALL = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Welcome 1.34PL2"
SETTINGS = f"HKLM\\SOFTWARE\\{MAKER}\\Settings"
MANIFEST = f"""[Variables]
Manufacturer={MAKER}
Product=Welcome
Version=1.34
PatchLevel=PL2
Description=Welcome Product
@EXTRA@
[Features]
Feature=Main
bin/
tool.txt
[Components]
Component=Main
Required=yes
Main
[Shortcuts]
Tool=bin\\tool.txt
[Registry]
HKLM\\SOFTWARE\\{MAKER}\\Settings\\Colour="blue"
[Run]
"""
FILES = {"bin/tool.txt": b"the tool\r\n"}
REMOVE, REPAIR, NEXT, BACK, CANCEL = 601, 602, 101, 102, 2


def visible_frames(controls: dict) -> list[list[int]]:
    """The rectangles of the visible statics: the frames around choices."""
    return [c["rect"] for c in controls.values() if c["class"] == "Static" and c["visible"]]


def bordered(rect: list[int]) -> list[int]:
    """A rectangle enlarged by a thin border, as the frame places bordered controls."""
    return [rect[0] - 1, rect[1] - 1, rect[2] + 1, rect[3] + 1]


class WelcomePage(WineTest):
    def setUp(self):
        super().setUp()
        self.links = start_menu_programs() / "MERIDOX Software" / "Welcome Product"
        self.forget()
        self.addCleanup(self.forget)
        self.folder = self.work / "Welcome"
        self.installer = self.build()

    def forget(self):
        reg_delete(f"HKLM\\SOFTWARE\\{MAKER}")
        reg_delete(UNINSTALL)
        shutil.rmtree(self.links, ignore_errors=True)

    def build(self, extra: str = "", name: str = "setup.exe", stub: Path | None = None) -> Path:
        out = self.work / name
        build_installer(MANIFEST.replace("@EXTRA@", extra), FILES, out, stub=stub)
        return out

    def shot(self, name: str) -> dict:
        return {"do": "screenshot", "path": to_win(self.work / f"{name}.bmp"), "window": True}

    def reference_text(self, text: str) -> list[str]:
        return reference_page_text(self.work, MANIFEST.replace("@EXTRA@", ""), FILES, text)

    def install_headless(self):
        self.assertEqual(wine([self.installer, f"--dir={to_win(self.folder)}", LICENCE]), 0)

    def test_fresh_installation_and_its_page_text(self):
        before = temp_qz(folders_only=True)
        run = drive([*first_page(self.installer, f"--dir={to_win(self.folder)}"), {"do": "controls"},
                     self.shot("install"), {"do": "click", "id": NEXT}, *past_the_folder_page(), *finish()])
        self.assertIsNone(run.error, run)
        self.assertEqual((run.exit_code, run.boxes), (0, []))
        bmp_to_png(self.work / "install.bmp", "welcome-install")
        controls = run.controls()
        self.assertNotIn(REPAIR, controls)
        self.assertNotIn(REMOVE, controls)
        self.assertEqual(visible_frames(controls), [], "no choices, no frame")
        self.assertEqual([controls[i]["enabled"] for i in (BACK, NEXT, CANCEL)], [False, True, True])
        shown = page_text_pixels(run, self.work / "install.bmp")
        self.assertEqual(shown, self.reference_text("This program will install|Welcome Product version 1.34PL2."
                                                    "|Press Next to continue."))
        self.assertNotEqual(shown, self.reference_text("This program will install|Welcome Product version 1.34."
                                                       "|Press Next to continue."), "the comparison sees a change")
        self.assertEqual((self.folder / "bin" / "tool.txt").read_bytes(), FILES["bin/tool.txt"])
        self.assertEqual(reg_query(UNINSTALL, "DisplayName"), ("REG_SZ", "Welcome Product V1.34PL2"))
        self.assertEqual(temp_qz(folders_only=True), before)

        # No patch level (PL0 in any case): none in the text. Cancel asks and
        # leaves with 1, nothing installed.
        self.installer = self.build("PatchLevel=pl0", name="pl0.exe")
        other = self.work / "not installed"
        run = drive([*first_page(self.installer, f"--dir={to_win(other)}"), self.shot("pl0"),
                     {"do": "click", "id": CANCEL}, {"do": "box", "press": "yes"}, {"do": "wait_exit"}])
        self.assertEqual(run.exit_code, 1, run)
        self.assertEqual([(b["caption"], b["text"]) for b in run.boxes],
                         [("Cancel setup", "Setup is not complete;\nare you sure you want to quit?")])
        self.assertEqual(page_text_pixels(run, self.work / "pl0.bmp"),
                         self.reference_text("This program will install|Welcome Product version 1.34."
                                             "|Press Next to continue."))
        self.assertFalse(other.exists())
        self.assertIsNone(reg_query(f"{FAMILY}\\1.34\\PL0"))
        self.assertEqual(temp_qz(folders_only=True), before)

    def test_maintenance_run_repairs_and_removes(self):
        self.install_headless()
        setup = self.folder / "resources" / "setup.exe"
        link = self.links / "Tool.lnk"
        installed = sorted(p for p in self.folder.rglob("*") if p.is_file())
        times = [p.stat().st_mtime_ns for p in installed]
        link.unlink()
        reg_delete(SETTINGS)
        wine(["reg", "delete", UNINSTALL, "/v", "DisplayName", "/f"])

        run = drive([*first_page(setup, ready={"do": "wait_control", "id": REPAIR, "visible": True}),
                     {"do": "controls"}, self.shot("maintenance"),
                     {"do": "click", "id": REPAIR}, {"do": "wait_control", "id": NEXT, "enabled": True},
                     {"do": "controls"}, {"do": "click", "id": NEXT}, *finish()])
        self.assertIsNone(run.error, run)
        self.assertEqual((run.exit_code, run.boxes), (0, []))
        bmp_to_png(self.work / "maintenance.bmp", "welcome-maintenance")
        layout = Layout(run.of("wait_window")[0])
        first, chosen = run.controls(0), run.controls(1)
        for cid, text, y in ((REPAIR, "Repair the installation", 210), (REMOVE, "&Remove the installation", 225)):
            self.assertEqual((first[cid]["text"], first[cid]["checked"], first[cid]["visible"]), (text, 0, True))
            self.assertEqual(first[cid]["rect"], layout.rect(30, y, 370, y + 10))
        self.assertFalse(first[NEXT]["enabled"], "Next waits for a choice")
        self.assertEqual((chosen[REPAIR]["checked"], chosen[REMOVE]["checked"], chosen[NEXT]["enabled"]), (1, 0, True))
        self.assertEqual(visible_frames(first), [bordered(layout.rect(25, 205, 375, 240))])

        # The repair rewrote the registry entries and the shortcut, and nothing else.
        self.assertTrue(link.exists())
        self.assertEqual(reg_query(SETTINGS, "Colour"), ("REG_SZ", "blue"))
        self.assertEqual(reg_query(UNINSTALL, "DisplayName"), ("REG_SZ", "Welcome Product V1.34PL2"))
        self.assertEqual(sorted(p for p in self.folder.rglob("*") if p.is_file()), installed)
        self.assertEqual([p.stat().st_mtime_ns for p in installed], times)

        run = drive([*first_page(setup, ready={"do": "wait_control", "id": REMOVE, "visible": True}),
                     {"do": "click", "id": REMOVE}, {"do": "wait_control", "id": NEXT, "enabled": True},
                     {"do": "click", "id": NEXT}, {"do": "box", "press": "yes"}, *finish()])
        self.assertEqual(run.exit_code, 0, run)
        self.assertEqual([(b["caption"], b["text"], b["icon"]) for b in run.boxes],
                         [("Remove installation", "Are you sure you want to completely remove\n"
                                                  "Welcome Product V1.34?", "question")])
        self.assertTrue(wait_for(lambda: not self.folder.exists(), 20))
        self.assertIsNone(reg_query(UNINSTALL))
        self.assertFalse(self.links.exists())

    def test_removal_option_offers_only_removal(self):
        self.install_headless()
        setup = self.folder / "resources" / "setup.exe"
        run = drive([*first_page(setup, "--remove", ready={"do": "wait_control", "id": REMOVE, "visible": True}),
                     {"do": "controls"}, self.shot("remove"),
                     {"do": "click", "id": NEXT}, {"do": "box", "press": "no"}, {"do": "no_box", "for_ms": 300},
                     {"do": "controls"},
                     {"do": "click", "id": CANCEL}, {"do": "box", "press": "yes"}, {"do": "wait_exit"}])
        self.assertIsNone(run.error, run)
        self.assertEqual(run.exit_code, 1)
        bmp_to_png(self.work / "remove.bmp", "welcome-remove")
        layout = Layout(run.of("wait_window")[0])
        first, after_no = run.controls(0), run.controls(1)
        self.assertNotIn(REPAIR, first)
        self.assertEqual((first[REMOVE]["checked"], first[NEXT]["enabled"]), (1, True))
        self.assertEqual(visible_frames(first), [bordered(layout.rect(25, 220, 375, 240))], "the shorter frame")
        self.assertTrue(after_no[REMOVE]["visible"], "No keeps the page")
        self.assertEqual([b["caption"] for b in run.boxes], ["Remove installation", "Cancel setup"])
        self.assertTrue((self.folder / "bin" / "tool.txt").exists(), "nothing changed")
        self.assertIsNotNone(reg_query(UNINSTALL))

    def test_a_newer_installed_version_is_asked_about(self):
        reg_add(f"{FAMILY}\\9.99\\PL0", "InstDir", data="C:\\elsewhere")
        self.installer = self.build("CheckInstalledVersions=yes", name="older.exe")
        before = temp_qz(folders_only=True)
        run = drive([{"do": "start", "cmdline": command_line(self.installer, f"--dir={to_win(self.folder)}")},
                     {"do": "box", "press": "no", "timeout_ms": 30000}, {"do": "wait_exit"}])
        self.assertEqual(run.exit_code, 1, run)
        self.assertEqual([(b["caption"], b["text"]) for b in run.boxes], [(
            "Install older version?",
            "A newer version (9.99) of Welcome, is already installed.\nAre you sure you want to install version (1.34)?")])
        self.assertFalse(self.folder.exists())
        self.assertEqual(temp_qz(folders_only=True), before)

        # With DoProceed the page passes itself over: no question, no choice.
        run = drive([{"do": "start", "cmdline": command_line(self.installer, f"--dir={to_win(self.folder)}",
                                                              "--setTrue-DoProceed")},
                     {"do": "wait_window", "class": FRAME_CLASS, "timeout_ms": 30000},
                     {"do": "wait_control", "id": 201, "visible": True}, {"do": "controls"},
                     {"do": "click", "id": NEXT}, *finish()])
        self.assertEqual((run.exit_code, run.boxes), (0, []), run)
        self.assertNotIn(REMOVE, run.controls())
        self.assertFalse(run.controls()[BACK]["enabled"], "no way back to a page that passed itself over")
        self.assertTrue((self.folder / "bin" / "tool.txt").exists())


if __name__ == "__main__":
    main()
