"""The completion page and what Finish then opens and runs, driven like a
user would. Documents open through a file type registered in the prefix whose
handler leaves a marker beside them; the IDE and the Java installer leave one
beside themselves."""

import contextlib
import shutil
import time

from winetest import (FRAME_CLASS, LICENCE, Layout, WineTest, bmp_to_png, build_installer, command_line, drive,
                      finish, held_open, main, page_text_pixels, past_the_folder_page, probe, reference_page_text, reg_add,
                      reg_delete, reg_delete_if_empty, reg_query, start_menu_programs, temp_qz, to_the_work, to_win,
                      wait_for, wine)

MAKER = "MERIDOX Completion Tests"
UNINSTALL = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Finale 1.34PL0"
JAVASOFT = "HKLM\\SOFTWARE\\JavaSoft"
JAVA = JAVASOFT + "\\Java Runtime Environment"
IDES = "HKLM\\Software\\MERIDOX Software\\SANDRIFT"
DOCUMENT_TYPE = "HKCR\\MeridoxTestDocument"
CHOICE = 303
TOOL = probe("fake_setup").read_bytes()
IDE_BOX, JAVA_BOX = "Run SANDRIFT now ?", "SANDRIFT requires Java. Run Java Runtime Environment installer ?"
GUIDE_BOX, LABEL = "Read quickstart guide now ?", "Would you like to read the"


def manifest(patch_level: str, variables: str = "", resources: str = "", ide: bool = False) -> str:
    return (f"{resources}[Variables]\nManufacturer={MAKER}\nProduct=Finale\nVersion=1.34\nPatchLevel={patch_level}\n"
            f"Description=Finale Suite\n{variables}[Features]\nFeature=Main\ndoc/\na.mdxdoc\t1\nb.mdxdoc\t1\n"
            f"quick.mdxdoc\t1\n{f'bin/{chr(10)}sandrift.exe{chr(10)}' if ide else ''}"
            "[Components]\nComponent=Main\nRequired=yes\nMain\n[Run]\n")


FILES = {"doc/a.mdxdoc": b"A", "doc/b.mdxdoc": b"B", "doc/quick.mdxdoc": b"Q", "bin/sandrift.exe": TOOL,
         "javasetup.exe": TOOL, "jcompat.txt": b"# runtimes that run the IDE\r\n\r\n1.5\r\n"}
DOCUMENTS = "ReadPDFs=DocA|docb|DocC\nDocA=doc\\a.mdxdoc|Alpha manual\nDocB=doc\\b.mdxdoc|Beta manual\n"


def look(shot) -> list[dict]:
    return [{"do": "sleep", "ms": 300}, {"do": "pixel", "x": 0, "y": 0},
            {"do": "screenshot", "path": to_win(shot), "window": True}, {"do": "controls"}]


class CompletionPage(WineTest):
    def setUp(self):
        super().setUp()
        for key in ("HKLM\\Software\\MERIDOX Software", IDES):
            self.addCleanup(reg_delete_if_empty, key)
        for key in (f"HKLM\\SOFTWARE\\{MAKER}", UNINSTALL, UNINSTALL.replace("PL0", "PL2"), JAVASOFT, IDES + "\\9.1",
                    DOCUMENT_TYPE, "HKCR\\.mdxdoc"):
            self.addCleanup(reg_delete, key)
        self.addCleanup(self.forget_links)
        reg_add("HKCR\\.mdxdoc", "", data="MeridoxTestDocument")
        handler = f'"{to_win(probe("fake_setup"))}" "%1.opened" 0 "%1"'
        reg_add(DOCUMENT_TYPE + "\\shell\\open\\command", "", data=handler)

    @staticmethod
    def forget_links():
        links = start_menu_programs() / "MERIDOX Software"
        shutil.rmtree(links / "Finale Suite", ignore_errors=True)
        with contextlib.suppress(OSError):
            links.rmdir()

    def build(self, text: str, name: str = "setup.exe", extra=()):
        installer = self.work / name
        build_installer(text, FILES, installer, extra=list(extra))
        return installer

    def run_page(self, program, *args, steps=(), first=None, boxes=0):
        """An interactive run to its completion page, `steps` there, then Finish."""
        start = {"do": "start", "cmdline": command_line(program, *args)}
        return drive([start, *(first or to_the_work()), *finish(*steps, boxes=boxes)])

    def check_page(self, run, shot, text: str, choices: list[tuple]):
        """The page text (lines apart by "|") and the choices, each (text,
        width, checked), top to bottom: placed upward from the bottom line,
        the frame around them, the text above the frame."""
        self.assertIsNone(run.error, run)
        layout, n = Layout(run.of("wait_window")[0]), len(choices)
        shown = run.of("controls")[0]["controls"]
        boxes = sorted(((c["text"], c["checked"], c["rect"]) for c in shown if c["id"] == CHOICE and c["visible"]),
                       key=lambda b: b[2][1])
        self.assertEqual(boxes, [(t, c, layout.rect(29, 227 - 14 * k, 29 + w, 237 - 14 * k))
                                 for k, (t, w, c) in zip(range(n - 1, -1, -1), choices)])
        frames = [c["rect"] for c in shown if c["class"] == "Static" and c["id"] != CHOICE and c["visible"]]
        left, top, right, bottom = layout.rect(25, 236 - 14 * n, 375, 240)
        self.assertEqual(frames, [[left - 1, top - 1, right + 1, bottom + 1]] if n else [])
        pixels = page_text_pixels(run, shot, bottom=235 - 14 * n if n else 250)
        reference = reference_page_text(self.work, manifest("PL0"), FILES, text)
        self.assertEqual(pixels, reference[:len(pixels)], text)
        self.assertLessEqual(len(set(reference[len(pixels):])), 1, "the text ends above the frame")

    def test_documents_guide_and_ide(self):
        ide = self.work / "IDE"
        (ide / "bin").mkdir(parents=True)
        (ide / "bin" / "sandrift.exe").write_bytes(TOOL)
        reg_add(IDES + "\\9.1\\PL2", "InstDir", data=to_win(ide))
        reg_add(JAVA + "\\1.4.2", "JavaHome", data="C:\\Java")  # no JAVA: whatever is installed, the IDE runs
        folder, shot = self.work / "Finale", self.work / "offers.bmp"
        installer = self.build(manifest("PL2", f"SANDRIFTShortCut=9.1L2\nReadQuickstart=doc\\quick.mdxdoc\n{DOCUMENTS}"
                                        "DocC=doc\\c.mdxdoc|Gamma manual\n"))
        run = self.run_page(installer, f"--dir={to_win(folder)}", boxes=1, steps=[
            *look(shot), {"do": "click", "id": CHOICE, "text": "Beta manual"},
            {"do": "click", "id": CHOICE, "text": "Gamma manual"}, {"do": "click", "id": CHOICE, "text": IDE_BOX},
            {"do": "wait_control", "id": CHOICE, "text": IDE_BOX, "checked": 1}])
        bmp_to_png(shot, "completion-documents-guide-ide")
        self.check_page(run, shot, "Congratulations!|Finale Suite version 1.34PL2 has been successfully installed"
                                   " and is ready to use.", [(LABEL, 200, None), ("Alpha manual", 200, 0),
                                                            ("Beta manual", 200, 0), ("Gamma manual", 200, 0),
                                                            (GUIDE_BOX, 120, 1), (IDE_BOX, 85, 0)])
        # The newest document first: the missing one is told and the rest still go on.
        missing = to_win(folder / "doc" / "c.mdxdoc")
        self.assertEqual((run.exit_code, [(b["caption"], b["text"], b["icon"]) for b in run.boxes]),
                         (0, [("Read PDF", f'Could not locate the "Gamma manual":\n {missing}', "error")]))
        # The desktop's shell started the IDE: it runs with its user's rights.
        ran = ide / "bin" / "sandrift.exe.ran"
        self.assertTrue(wait_for(ran.exists, 20) and wait_for(lambda: ran.read_text() == "explorer.exe\n", 5))
        for name in ("quick", "b"):
            marker = folder / "doc" / f"{name}.mdxdoc.opened"
            self.assertTrue(wait_for(marker.exists, 20), marker)
            opened = marker.read_text().split("\n")[1]
            self.assertEqual(opened.lower(), to_win(folder / "doc" / f"{name}.mdxdoc").lower())
        self.assertFalse((folder / "doc" / "a.mdxdoc.opened").exists(), "an unchecked document stays closed")

    def test_java_check(self):
        installer = self.build(manifest("PL0", f"SandriftOnly=yes\nReadQuickstart=doc\\missing.mdxdoc\n{DOCUMENTS}"
                                               "DocC=doc\\a.mdxdoc|Alpha again\n",
                                        "[Resources]\nJAVA=javasetup.exe\nJCOMPAT=jcompat.txt\n", ide=True))
        reg_add(JAVA + "\\1.4.2", "JavaHome", data="C:\\Java\\1.4.2")
        reg_add(JAVA + "\\1.5.0_06", "JavaHome", data="C:\\Java\\1.5")
        # A runtime of the list: the IDE. Started with DoProceed: nothing to read.
        first, shot = self.work / "first", self.work / "ide.bmp"
        run = self.run_page(installer, f"--dir={to_win(first)}", "--setTrue-DoProceed", steps=look(shot),
                            first=[{"do": "wait_window", "class": FRAME_CLASS, "timeout_ms": 30000},
                                   *past_the_folder_page()])
        self.check_page(run, shot, "Congratulations!|Finale Suite version 1.34 has been successfully installed.",
                        [(IDE_BOX, 85, 0)])
        self.assertFalse((first / "bin" / "sandrift.exe.ran").exists(), "an unchecked box runs nothing")

        # 1.5.0_06 without its home and 1.4.2 are no runtime of the list: the Java installer.
        wine(["reg", "delete", JAVA + "\\1.5.0_06", "/v", "JavaHome", "/f"])
        reg_delete(f"HKLM\\SOFTWARE\\{MAKER}")  # else the registered folder is taken again
        second, shot = self.work / "second", self.work / "java.bmp"
        run = self.run_page(installer, f"--dir={to_win(second)}", steps=look(shot), boxes=1)
        bmp_to_png(shot, "completion-java")
        self.check_page(run, shot, "Congratulations!|Finale Suite version 1.34 has been successfully installed and"
                                   " is ready to use.", [(LABEL, 200, None), ("Alpha manual", 200, 0),
                                                        ("Beta manual", 200, 0), ("Alpha again", 200, 0),
                                                        (GUIDE_BOX, 120, 1), (JAVA_BOX, 220, 1)])
        guide = to_win(second / "doc" / "missing.mdxdoc")
        self.assertEqual([(b["caption"], b["text"]) for b in run.boxes],
                         [("Quickstart", f"Could not locate quickstart guide:\n {guide}")])
        ran = second / "resources" / "javasetup.exe.ran"
        self.assertTrue(wait_for(ran.exists, 20) and wait_for(lambda: ran.read_text() == "explorer.exe\n", 5))
        self.assertFalse((second / "bin" / "sandrift.exe.ran").exists())

        # Without the IDE: no box for it and no check; the guide unchecked is not looked for.
        reg_delete(f"HKLM\\SOFTWARE\\{MAKER}")
        third = self.work / "third"
        run = self.run_page(installer, f"--dir={to_win(third)}", "--no-sandrift", steps=[
            {"do": "controls"}, {"do": "click", "id": CHOICE, "text": GUIDE_BOX}])
        shown = {c["text"] for c in run.of("controls")[0]["controls"] if c["id"] == CHOICE and c["visible"]}
        self.assertEqual(shown, {LABEL, "Alpha manual", "Beta manual", "Alpha again", GUIDE_BOX})
        self.assertEqual((run.exit_code, run.boxes), (0, []), run)
        self.assertFalse((third / "resources" / "javasetup.exe.ran").exists())

    def test_without_a_desktop_shell_nothing_runs_with_the_installers_rights(self):
        installer = self.work / "setup.exe"
        build_installer(manifest("PL0", "SandriftOnly=yes\nReadQuickstart=doc\\quick.mdxdoc\n", ide=True), FILES,
                        installer, stub=probe("crash_stub"))
        folder = self.work / "Finale"
        run = drive([{"do": "start", "cmdline": command_line(installer, f"--dir={to_win(folder)}")}, *to_the_work(),
                     *finish({"do": "click", "id": CHOICE, "text": IDE_BOX}, boxes=1)], env={"MERIDOX_NO_SHELL": "1"})
        self.assertEqual((run.exit_code, [(b["caption"], b["text"].replace("\\\n", "\\")) for b in run.boxes]), (0, [(
            "Setup", "Setup runs with administrator rights and found no desktop to open this with your own rights:\n\n"
                     f"{to_win(folder / 'doc' / 'quick.mdxdoc')}\n{to_win(folder / 'bin' / 'sandrift.exe')}\n\nOpen it "
                     "yourself.")]), run)
        time.sleep(2)
        self.assertEqual([p.name for p in folder.rglob("*.ran")] + [p.name for p in folder.rglob("*.opened")], [])

    def test_repair_and_removal_texts(self):
        # A product with none of the offers, as a plug-in's installer: the text only.
        folder, shots = self.work / "Plain", [self.work / f"{n}.bmp" for n in ("plain", "repaired", "removed")]
        installer = self.build(manifest("PL0"))
        run = self.run_page(installer, f"--dir={to_win(folder)}", steps=look(shots[0]))
        self.check_page(run, shots[0], "Congratulations!|Finale Suite version 1.34 has been successfully installed"
                                       " and is ready to use.", [])
        setup, log = folder / "resources" / "setup.exe", self.work / "removal.log"
        session = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager"
        self.addCleanup(wine, ["reg", "delete", session, "/v", "PendingFileRenameOperations", "/f"])
        # A removal that leaves a file another program holds for the restart says so.
        for choice, shot, text in ((602, shots[1], "Finale Suite version 1.34 has been successfully repaired."),
                                   (601, shots[2], "Finale Suite V1.34PL0 has been uninstalled, except for files "
                                                   "that other programs still use: they will be removed when the "
                                                   "computer restarts.")):
            with held_open(folder / "doc" / "a.mdxdoc", self.work) if choice == 601 else contextlib.nullcontext():
                run = self.run_page(setup, f"--log={to_win(log)}", steps=look(shot), first=[
                    {"do": "wait_window", "class": FRAME_CLASS, "timeout_ms": 30000},
                    {"do": "wait_control", "id": choice, "visible": True}, {"do": "click", "id": choice},
                    {"do": "wait_control", "id": 101, "enabled": True}, {"do": "click", "id": 101},
                    *([{"do": "box", "press": "yes"}, {"do": "box", "press": "ok", "timeout_ms": 30000}]
                      if choice == 601 else [])])
            self.check_page(run, shot, text, [])
            self.assertEqual(run.exit_code, 0)
        bmp_to_png(shots[1], "completion-repaired")
        bmp_to_png(shots[2], "completion-removed-but-in-use")
        self.assertIn(f"Remove installation: Other programs still use these files; they will be removed when the "
                      f"computer restarts: |   {to_win(folder)}\\doc\\a.mdxdoc |  [OK]",
                      [line[20:] for line in log.read_text(encoding="latin-1").splitlines()])

        # A removal started with DoProceed ends without the page: nobody presses Finish.
        folder = self.work / "Again"
        self.assertEqual(wine([installer, f"--dir={to_win(folder)}", LICENCE]), 0)
        run = drive([{"do": "start", "cmdline": command_line(folder / "resources" / "setup.exe", "--remove",
                                                              "--setTrue-DoProceed")}, {"do": "wait_exit"}])
        self.assertEqual((run.exit_code, run.boxes), (0, []), run)
        self.assertIsNone(reg_query(UNINSTALL))

    def test_documents_the_builder_refuses_end_a_complete_installation(self):
        before = temp_qz(folders_only=True)
        for name, variables, line, message in (
                ("unknown", "ReadPDFs=DocA|Nope\nDocA=doc\\a.mdxdoc|Alpha manual\n", 7,
                 'Can\'t find variable "Nope" in manifest'),
                ("syntax", "ReadPDFs=DocA\nDocA=doc\\a.mdxdoc\n", 8, 'Syntax error in value of variable "DocA"')):
            text = manifest("PL0", variables)
            refused = build_installer(text, FILES, self.work / "refused.exe", check=False)
            errors = [e for e in refused.stderr.splitlines() if ": warning: " not in e]
            self.assertEqual((refused.returncode, errors[0].split("/")[-1]), (1, f"product.manifest:{line}: {message}"))
            folder = self.work / name
            run = drive([{"do": "start", "cmdline": command_line(self.build(text, f"{name}.exe", ["--unchecked"]),
                                                                  f"--dir={to_win(folder)}")},
                         *to_the_work(), {"do": "box", "timeout_ms": 60000, "press": "ok"}, {"do": "wait_exit"}])
            self.assertEqual((run.exit_code, [(b["caption"], b["text"]) for b in run.boxes]),
                             (1, [("Fatal error", message)]), run)
            # What the user has: the whole installation, registered and removable.
            self.assertEqual((folder / "doc" / "a.mdxdoc").read_bytes(), b"A")
            self.assertTrue((folder / "resources" / "manifest").exists())
            self.assertIsNotNone(reg_query(UNINSTALL))
            self.assertEqual(temp_qz(folders_only=True), before)
            self.assertEqual(wine([folder / "resources" / "setup.exe", "--remove-silently"]), 0)


if __name__ == "__main__":
    main()
