"""The installation folder and components page, driven through the wizard:
the component boxes and their layout, the space line, the folder checks, the
removal of a previous installation in the folder, and what the engine then
installs."""

import os
import subprocess

from winetest import (FRAME_CLASS, drive_c, LICENCE, WIN_BUILD, Layout, WineTest, bmp_to_png, build_installer, drive, finish,
                      look_at_box, probe,
                      first_page, main, page_text_pixels, reference_page_text, reg_add, reg_delete, reg_query,
                      to_win, uninstaller_list, wait_for, wine)

MAKER = "MERIDOX Folder Tests"
UNINSTALL = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
FOLDER, BROWSE, NEXT, BACK = 201, 202, 101, 102
MB = 1 << 20

SEVERAL = f"""[Variables]
Manufacturer={MAKER}
Product=Chooser
Version=2.0
Description=Chooser
[Features]
Feature=Core
core/
core.bin
Feature=Extras
extras/
extras.bin
Feature=Runtime
Regkey=SOFTWARE\\{MAKER}\\Runtime
Installer=http://downloads.example.invalid/runtime.exe
Feature=Cloud
Installer=http://downloads.example.invalid/cloud.exe
Feature=Docs
[Components]
Component=Core
Description=Core files
Required=yes
Core
Component=Extras
Description=Extra files
Extras
Component=Runtime
Description=Runtime
Runtime
Component=Cloud
Description=Cloud tools
Selected=no
Cloud
Component=Docs
Description=Documentation
Docs
[Run]
"""
SEVERAL_FILES = {"core/core.bin": b"c" * 1000, "extras/extras.bin": b"e" * MB}


def one_component(version: str, file: str, extra: str = "") -> str:
    return (f"[Variables]\nManufacturer={MAKER}\nProduct=Single\nVersion={version}\nDescription=Single\n{extra}"
            f"[Features]\nFeature=Main\nbin/\n{file}\n[Components]\nComponent=Main\nRequired=yes\n"
            "Description=Everything\nMain\n[Run]\n")


def bordered(rect: list[int]) -> list[int]:
    return [rect[0] - 1, rect[1] - 1, rect[2] + 1, rect[3] + 1]


def space(controls: list[dict], what: str) -> str:
    """The number in the space line's box for `what` ("required" or "available")."""
    line = next(c["text"] for c in controls if c["class"] == "Edit" and (c["text"] or "")
                .startswith(f"Space {what}: "))
    return line.split(": ")[1].split()[0]


def frames(controls: list[dict]) -> list[list[int]]:
    """The rectangles of the visible statics: the frames around the choices."""
    return [c["rect"] for c in controls if c["class"] == "Static" and c["visible"]]


class FolderPage(WineTest):
    def setUp(self):
        super().setUp()
        self.addCleanup(self.forget)

    def forget(self):
        reg_delete(f"HKLM\\SOFTWARE\\{MAKER}")
        for name in ("Chooser 2.0PL0", "Single 1.0PL0", "Single 2.0PL0"):
            reg_delete(f"{UNINSTALL}\\{name}")

    def shot(self, name: str) -> dict:
        return {"do": "screenshot", "path": to_win(self.work / f"{name}.bmp"), "window": True}

    def to_the_page(self, installer, folder) -> list[dict]:
        return [*first_page(installer, f"--dir={to_win(folder)}"), {"do": "click", "id": NEXT},
                {"do": "wait_control", "id": FOLDER, "visible": True}, {"do": "sleep", "ms": 300}]

    def test_components_layout_space_and_what_gets_installed(self):
        reg_add(f"HKLM\\SOFTWARE\\{MAKER}\\Runtime", "InstallLocation", data=to_win(self.work))
        installer = self.work / "several.exe"
        build_installer(SEVERAL, SEVERAL_FILES, installer)
        folder = self.work / "chosen"
        run = drive([*self.to_the_page(installer, folder), {"do": "controls"}, self.shot("several"),
                     {"do": "click", "id": 251}, {"do": "sleep", "ms": 300}, {"do": "controls"},
                     {"do": "click", "id": NEXT}, *finish()])
        self.assertEqual((run.exit_code, run.boxes), (0, []), run)
        bmp_to_png(self.work / "several.bmp", "instdir-several")
        layout = Layout(run.of("wait_window")[0])
        shown = run.controls(0)
        # Five components, four boxes: the one without content leaves its row empty.
        boxes = {cid: (shown[cid]["text"], shown[cid]["checked"], shown[cid]["enabled"], shown[cid]["rect"])
                 for cid in shown if 250 <= cid <= 260}
        self.assertEqual(boxes, {
            250: ("Core files", 1, False, layout.rect(30, 135, 370, 145)),
            251: ("Extra files", 1, True, layout.rect(30, 150, 370, 160)),
            252: ("Runtime (installed)", 1, True, layout.rect(30, 165, 370, 175)),
            253: ("** Cloud tools", 0, True, layout.rect(30, 180, 370, 190))})
        self.assertEqual(frames(run.control_list(0)), [bordered(layout.rect(25, 130, 375, 240))])
        self.assertEqual((shown[FOLDER]["text"], shown[FOLDER]["rect"]), (to_win(folder), layout.rect(30, 210, 315, 220)))
        self.assertEqual(float(space(run.control_list(0), "required")) - float(space(run.control_list(1), "required")), 1.0,
                         "unticking a 1 MB component takes 1 MB off at once")
        self.assertEqual(page_text_pixels(run, self.work / "several.bmp", bottom=125), reference_page_text(
            self.work, SEVERAL, SEVERAL_FILES, "Please select components to install, and choose the installation "
            "folder, then click Next to complete the installation.||Components marked with ** will be "
            "downloaded from the website.", bottom=125))
        self.assertTrue((folder / "core" / "core.bin").exists())
        self.assertFalse((folder / "extras").exists(), "what the user unticked is not installed")

    def test_twelve_components_and_a_box_past_the_page(self):
        components = "".join(f"Component=C{i}\nDescription=Part {i}\nF{i}\n" for i in range(12))
        features = "".join(f"Feature=F{i}\np{i}/\nf.bin\t{MB}\n" for i in range(12))
        manifest = (f"[Variables]\nManufacturer={MAKER}\nProduct=Chooser\nVersion=2.0\nDescription=Chooser\n"
                    f"[Features]\n{features}[Components]\n{components}[Run]\n")
        installer = self.work / "twelve.exe"
        # mkinst refuses a twelfth component: packed as written, to see what the page makes of it.
        build_installer(manifest, {f"p{i}/f.bin": b"x" * MB for i in range(12)}, installer, extra=["--unchecked"])
        folder = self.work / "twelve"
        run = drive([*self.to_the_page(installer, folder), {"do": "controls"},
                     {"do": "click", "id": 261}, {"do": "sleep", "ms": 300}, {"do": "controls"},
                     {"do": "click", "id": 250}, {"do": "sleep", "ms": 300}, {"do": "controls"},
                     {"do": "click", "id": NEXT}, *finish()])
        self.assertEqual(run.exit_code, 0, run)
        before, past, reread = (float(space(run.control_list(i), "required")) for i in range(3))
        self.assertEqual((run.controls(1)[261]["checked"], past), (0, before),
                         "the twelfth box alone changes nothing")
        self.assertEqual(before - reread, 2.0, "a command from the page's boxes reads them all")
        self.assertEqual(sorted(p.name for p in folder.iterdir() if p.name != "resources"),
                         sorted(f"p{i}" for i in range(1, 11)))

    def test_one_component_and_the_folder_checks(self):
        # The plug-in's slot of a previous patch level in the same folder is
        # taken over when the page is left.
        folder = self.work / "single"
        key = f"HKLM\\SOFTWARE\\{MAKER}\\Single\\1.0"
        reg_add(f"{key}\\PL1", "InstDir", data=to_win(folder))
        reg_add(f"{key}\\PL1", "MPIndex", "REG_DWORD", "3")
        manifest = one_component("1.0", "VELLOQ.dll", "InstallTESSERAPlugin=yes\nTESSERAPluginVer=1.0\n")
        files = {"bin/VELLOQ.dll": (WIN_BUILD / "plugin" / "velloq.dll").read_bytes()}
        installer = self.work / "single.exe"
        build_installer(manifest, files, installer)
        self.addCleanup(reg_delete, "HKLM\\SOFTWARE\\MeridoxTests")
        self.addCleanup(reg_delete, f"HKLM\\SOFTWARE\\{MAKER}")
        a_file = self.work / "a file"
        a_file.write_text("not a folder")
        _, mounted = self.small_drive("d", "64m")

        run = drive([*self.to_the_page(installer, folder), {"do": "controls"}, self.shot("one"),
                     {"do": "set_text", "id": FOLDER, "text": to_win(a_file)}, {"do": "click", "id": NEXT},
                     {"do": "box"}, self.shot("error"),
                     {"do": "wait_window", "class": "#32770"}, {"do": "click", "id": 1},
                     {"do": "wait_window", "class": "MERIDOX Installer"}, {"do": "sleep", "ms": 200},
                     {"do": "controls"},
                     {"do": "set_text", "id": FOLDER, "text": ""}, {"do": "click", "id": NEXT},
                     {"do": "box", "press": "ok"},
                     {"do": "set_text", "id": FOLDER, "text": "D:\\Tools\\Compiler"}, {"do": "sleep", "ms": 300},
                     {"do": "controls"},
                     {"do": "set_text", "id": FOLDER, "text": "\\\\server\\share\\dir"}, {"do": "sleep", "ms": 300},
                     {"do": "controls"},
                     # Back keeps the text unchecked, and the page shows it again.
                     {"do": "set_text", "id": FOLDER, "text": to_win(a_file)}, {"do": "click", "id": BACK},
                     {"do": "wait_control", "id": FOLDER, "visible": False}, {"do": "no_box", "for_ms": 200},
                     {"do": "click", "id": NEXT}, {"do": "wait_control", "id": FOLDER, "visible": True},
                     {"do": "controls"},
                     {"do": "set_text", "id": FOLDER, "text": to_win(folder)}, {"do": "click", "id": NEXT},
                     *finish()], timeout_ms=30000)
        self.assertEqual(run.exit_code, 0, run)
        bmp_to_png(self.work / "one.bmp", "instdir-one")
        bmp_to_png(self.work / "error.bmp", "instdir-error")
        layout = Layout(run.of("wait_window")[0])
        one, refused, back_again = run.controls(0), run.of("controls")[1], run.controls(4)
        self.assertEqual([cid for cid in one if 250 <= cid <= 261], [], "one component: no boxes")
        self.assertEqual(frames(run.control_list(0)), [bordered(layout.rect(25, 205, 375, 240))])
        self.assertEqual(page_text_pixels(run, self.work / "one.bmp", bottom=200), reference_page_text(
            self.work, manifest, files, "Please choose the folder to install into, then click Next to complete the "
            "installation.", bottom=200))
        self.assertEqual([(b["caption"], b["text"], b["icon"]) for b in run.boxes], [
            ("Bad installation folder", "Already exists but is not a folder!", "error"),
            ("Bad installation folder", "No installation folder was given.\nPlease enter the folder to install "
                                        "into.", "error")])
        self.assertEqual((refused["focus"], run.controls(1)[FOLDER]["visible"]), (FOLDER, True),
                         "the page stays, the folder box has the focus")
        on_d, on_share, one = (run.control_list(i) for i in (2, 3, 0))
        self.assertEqual(space(on_d, "available"), "64" if mounted else space(on_d, "available"))
        self.assertNotEqual(space(on_d, "available"), space(one, "available"), "D:\\ is asked, not C:\\")
        self.assertEqual(space(on_share, "available"), "0", "Wine has no space for a share it cannot reach")
        self.assertEqual(back_again[FOLDER]["text"], to_win(a_file))
        self.assertTrue((folder / "bin" / "VELLOQ.dll").exists())
        self.assertEqual(reg_query(f"{key}\\PL0", "MPIndex"), ("REG_DWORD", "0x3"))
        self.assertIsNone(reg_query(f"{key}\\PL1", "MPIndex"))

    def test_browse_a_refused_folder_and_closing_the_last_page(self):
        # Documents open through a file type whose handler leaves a marker beside them.
        self.addCleanup(reg_delete, "HKCR\\.mdxfolder")
        self.addCleanup(reg_delete, "HKCR\\MeridoxFolderDocument")
        reg_add("HKCR\\.mdxfolder", "", data="MeridoxFolderDocument")
        reg_add("HKCR\\MeridoxFolderDocument\\shell\\open\\command", "",
                data=f'"{to_win(probe("fake_setup"))}" "%1.opened" 0 "%1"')
        manifest = one_component("1.0", "guide.mdxfolder\nmanual.mdxfolder", "ReadQuickstart=bin\\guide.mdxfolder\n"
                                 "ReadPDFs=Manual\nManual=bin\\manual.mdxfolder|The manual\n")
        installer = self.work / "browse.exe"
        build_installer(manifest, {"bin/guide.mdxfolder": b"g", "bin/manual.mdxfolder": b"m"}, installer)
        # A drive nothing can be written to: a folder on it can be neither made nor written in.
        mount, mounted = self.small_drive("r", "1m")
        (mount / "Existing").mkdir()
        if mounted:
            subprocess.run(["mount", "-o", "remount,ro", str(mount)], check=True)
        else:  # a drive that leads nowhere: nothing can be made on it either
            link = drive_c().parent / "dosdevices" / "r:"
            link.unlink()
            link.symlink_to(self.work / "nowhere")
        folder = self.work / "made" / "on the way" / "Single"
        shots = {name: self.work / f"{name}.bmp" for name in ("browse", "picker", "refused", "last")}
        run = drive([*self.to_the_page(installer, self.work / "missing" / "deeper" / "Single"), {"do": "controls"},
                     self.shot("browse"), {"do": "click", "id": BROWSE},
                     {"do": "wait_window", "class": "#32770"}, {"do": "sleep", "ms": 1000},
                     {"do": "screenshot", "path": to_win(shots["picker"])}, {"do": "click", "id": 2},
                     {"do": "wait_window", "class": FRAME_CLASS}, {"do": "sleep", "ms": 300}, {"do": "controls"},
                     # Wine's picker, shown the first time, may miss the folder it is to start at.
                     {"do": "click", "id": BROWSE}, {"do": "wait_window", "class": "#32770"},
                     {"do": "sleep", "ms": 1000}, {"do": "click", "id": 1},
                     {"do": "wait_window", "class": FRAME_CLASS}, {"do": "sleep", "ms": 300}, {"do": "controls"},
                     {"do": "set_text", "id": FOLDER, "text": "R:\\NSIS"}, {"do": "click", "id": NEXT},
                     *look_at_box(shots["refused"], 1), {"do": "wait_window", "class": FRAME_CLASS},
                     {"do": "set_text", "id": FOLDER, "text": "R:\\Existing"}, {"do": "click", "id": NEXT},
                     {"do": "box", "press": "ok"}, {"do": "no_box", "for_ms": 300}, {"do": "controls"},
                     {"do": "set_text", "id": FOLDER, "text": to_win(folder)}, {"do": "click", "id": NEXT},
                     {"do": "wait_control", "id": NEXT, "text": "Finish", "enabled": True, "timeout_ms": 60000},
                     {"do": "click", "id": 303, "text": "The manual"},
                     {"do": "click", "id": 303, "text": "Read quickstart guide now ?"},
                     {"do": "wait_control", "id": 303, "text": "The manual", "checked": 1},
                     {"do": "sleep", "ms": 300}, self.shot("last"), {"do": "close"}, {"do": "wait_exit"}],
                    timeout_ms=30000)
        for name, shot in shots.items():
            bmp_to_png(shot, f"folder-page-{name}")
        self.assertEqual(run.exit_code, 0, run)
        layout, shown = Layout(run.of("wait_window")[0]), run.controls(0)
        # The button sits beside the folder box, on the frame's row: nothing else moved.
        self.assertEqual((shown[FOLDER]["rect"], shown[BROWSE]["rect"], shown[BROWSE]["text"]),
                         (layout.rect(30, 210, 315, 220), layout.rect(320, 208, 370, 222), "Browse..."))
        self.assertEqual(frames(run.control_list(0)), [bordered(layout.rect(25, 205, 375, 240))])
        self.assertEqual(run.controls(1)[FOLDER]["text"], shown[FOLDER]["text"], "Cancel changes nothing")
        self.assertEqual(run.controls(2)[FOLDER]["text"], to_win(self.work), "the picker starts at the nearest folder")
        texts = [b["text"] for b in run.boxes]
        self.assertRegex(texts[0], r'^The installation folder "R:\\NSIS" cannot be created: .*\.\nChoose another folder\.$')
        self.assertRegex(texts[1], r'^The installation folder "R:\\Existing" cannot be '
                                   f'{"written to" if mounted else "created"}: ')
        self.assertEqual([b["caption"] for b in run.boxes], ["Bad installation folder"] * 2)
        self.assertTrue(run.controls(3)[FOLDER]["visible"], "the page stays")
        self.assertEqual(list(mount.rglob("*")), [mount / "Existing"])
        self.assertEqual(sorted(p.name for p in folder.iterdir()), ["bin", "resources"], "the write probe is gone")
        # Closed instead of Finish: every choice as the user left it.
        marker = folder / "bin" / "manual.mdxfolder.opened"
        self.assertTrue(wait_for(marker.exists, 20), marker)
        self.assertFalse((folder / "bin" / "guide.mdxfolder.opened").exists(), "the guide was unticked")
        self.assertEqual(wine([folder / "resources" / "setup.exe", "--remove-silently"]), 0)

    def test_a_previous_installation_in_the_folder(self):
        folder = self.work / "shared place"
        old = self.work / "old.exe"
        build_installer(one_component("1.0", "old.txt"), {"bin/old.txt": b"old"}, old)
        self.assertEqual(wine([old, f"--dir={to_win(folder)}", LICENCE]), 0)
        new = self.work / "new.exe"
        build_installer(one_component("2.0", "new.txt"), {"bin/new.txt": b"new"}, new)

        run = drive([*self.to_the_page(new, folder), {"do": "click", "id": NEXT},
                     {"do": "box", "press": "yes"}, *finish()])
        self.assertEqual(run.exit_code, 0, run)
        self.assertEqual([(b["caption"], b["text"], b["icon"]) for b in run.boxes], [
            ("Previous Installation", "There is a previous installation in that location.\n"
                                      "Do you want to remove it (recommended)?", "none")])
        self.assertFalse((folder / "bin" / "old.txt").exists(), "the previous installation is gone")
        self.assertTrue(wait_for(lambda: (folder / "resources" / "setup.exe").exists(), 5))
        self.assertEqual((folder / "bin" / "new.txt").read_bytes(), b"new")
        listed = uninstaller_list()
        self.assertNotIn("Single V1.0PL0", listed)
        self.assertIn("Single V2.0PL0", listed)

        # No, then No: the page stays; No, then Yes: the installation goes on
        # over the previous one.
        run = drive([*self.to_the_page(new, folder), {"do": "click", "id": NEXT},
                     {"do": "box", "press": "no"}, {"do": "box", "press": "no"}, {"do": "no_box", "for_ms": 300},
                     {"do": "controls"}, {"do": "click", "id": NEXT},
                     {"do": "box", "press": "no"}, {"do": "box", "press": "yes"},
                     *finish()])
        self.assertEqual(run.exit_code, 0, run)
        self.assertEqual([b["text"] for b in run.boxes][1::2], ["Then is it OK to overwrite the previous installation?"] * 2)
        self.assertTrue(run.controls()[FOLDER]["visible"], "No, then No keeps the page")
        self.assertEqual((folder / "bin" / "new.txt").read_bytes(), b"new")
        # What it overwrote, it does not know it made: the folders stay, empty.
        self.assertEqual(wine([folder / "resources" / "setup.exe", "--remove-silently"]), 0)
        self.assertTrue(wait_for(lambda: not any(p.is_file() for p in folder.rglob("*")), 20))

        # A remover nobody registered (anybody may have put it there) is never run.
        planted = self.work / "planted" / "resources" / "setup.exe"
        planted.parent.mkdir(parents=True)
        planted.write_bytes(probe("fake_setup").read_bytes())
        run = drive([*self.to_the_page(new, planted.parents[1]), {"do": "click", "id": NEXT},
                     {"do": "box", "press": "no"}, {"do": "no_box", "for_ms": 300}, {"do": "controls"},
                     {"do": "close"}, {"do": "wait_exit"}])
        self.assertEqual(run.boxes[0]["text"], "There is an installation in that location that is not registered on "
                                               "this computer; it cannot be removed first.\nIs it OK to overwrite it?")
        self.assertTrue(run.controls()[FOLDER]["visible"], "No keeps the page")
        self.assertFalse(planted.with_name("setup.exe.ran").exists())

        # Folders the page refuses, and this very version installed in another
        # folder: it goes first (its remover runs), or the page stays.
        self.assertEqual(wine([new, f"--dir={to_win(folder)}", LICENCE]), 0)
        other = self.work / "other place"
        steps = [*self.to_the_page(new, folder), {"do": "controls"}]
        # The folder as a user may type it: other forms of the same place are
        # taken in its one form (the uninstall entry below names it so).
        typed = to_win(other).replace("\\", "\\\\", 2).replace("\\", "/", 1) + "\\"
        for name, text in (("relative", "relative\\place"), ("dotted", to_win(self.work) + "\\dot."),
                           ("too-long", "C:\\" + "x" * 250), ("elsewhere", typed)):
            steps += [{"do": "set_text", "id": FOLDER, "text": text}, {"do": "click", "id": NEXT},
                      *look_at_box(self.work / f"{name}.bmp", 7 if name == "elsewhere" else 1),
                      {"do": "wait_window", "class": FRAME_CLASS}]
        run = drive([*steps, {"do": "no_box", "for_ms": 300}, {"do": "click", "id": NEXT},
                     {"do": "box", "press": "yes"}, *finish()])
        for name in ("relative", "dotted", "too-long", "elsewhere"):
            bmp_to_png(self.work / f"{name}.bmp", f"folder-page-{name}")
        self.assertEqual(run.exit_code, 0, run)
        self.assertTrue(run.controls(0)[FOLDER]["style"] & 0x80, "the folder box scrolls (ES_AUTOHSCROLL)")
        texts = [b["text"] for b in run.boxes]
        self.assertTrue(texts[0].startswith('The installation folder "relative\\place" is not a full path.'))
        self.assertEqual(texts[1], f'The installation folder "{to_win(self.work)}\\dot." has a name that ends in a '
                                   'dot or a space, which Windows drops: "dot.".\nChoose another name.')
        self.assertTrue(texts[2].startswith("The folder C:\\\nxxx") and "(259)" in texts[2], texts[2])
        self.assertLessEqual(max(len(w) for w in texts[2].split()), 80, "a long folder is broken into lines")
        self.assertEqual(texts[3:], [f"This version is installed already in:\n{to_win(folder)}\nIt must be removed "
                                     "before it can be installed in another folder.\nDo you want to remove it now?"] * 2)
        self.assertTrue(wait_for(lambda: not (folder / "bin").exists(), 20), "the other folder's installation is gone")
        self.assertEqual((other / "bin" / "new.txt").read_bytes(), b"new")
        self.assertEqual(reg_query(f"{UNINSTALL}\\Single 2.0PL0", "InstallLocation")[1], f'"{to_win(other)}"')
        self.assertEqual(wine([other / "resources" / "setup.exe", "--remove-silently"]), 0)

        # On a small drive the page tells, before it removes anything, that
        # the new installation will not fit even once the previous has gone.
        mount, mounted = self.small_drive("r", "2m")
        if mounted:
            self.assertEqual(wine([old, "--dir=R:\\Single", LICENCE]), 0)
            big = self.work / "big.exe"
            build_installer(one_component("2.0", "big.bin"), {"bin/big.bin": os.urandom(3 << 20)}, big)
            shot = self.work / "no-room.bmp"
            run = drive([*first_page(big, "--dir=R:\\Single"), {"do": "click", "id": NEXT},
                         {"do": "wait_control", "id": FOLDER, "visible": True}, {"do": "click", "id": NEXT},
                         {"do": "box", "press": "yes"}, *look_at_box(shot, 1), {"do": "no_box", "for_ms": 300},
                         {"do": "wait_window", "class": FRAME_CLASS}, {"do": "controls"}, {"do": "click", "id": 2},
                         {"do": "box", "press": "yes"},
                         {"do": "wait_exit"}])
            bmp_to_png(shot, "folder-page-no-room")
            self.assertRegex(run.boxes[1]["text"], r"^The installation needs 3\.\d MB, and only 1\.\d MB will be free "
                                                   r"even once the previous installation has been removed\.\nNothing has "
                                                   r"been removed\.")
            self.assertTrue(run.controls()[FOLDER]["visible"], "the page stays")
            self.assertEqual((mount / "Single" / "bin" / "old.txt").read_bytes(), b"old", "nothing was removed")
            self.assertEqual(wine([mount / "Single" / "resources" / "setup.exe", "--remove-silently"]), 0)


if __name__ == "__main__":
    main()
