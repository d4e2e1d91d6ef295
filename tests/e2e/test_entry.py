"""The entry seen from outside: raw command lines given to the real program
(started by the UI driver, which passes them verbatim), the fatal error for
an over-long argument, the sub-installation check and the run modes."""

import json
import shutil

from winetest import (FRAME_CLASS, LICENCE, STUB, WineTest, command_line, drive, fatal_run, main, probe,
                      signature_of, temp_qz, to_win)


class CommandLine(WineTest):
    def setUp(self):
        super().setUp()
        # The probe reads its command line like the installer and, finding no
        # archive in its own file, the manifest beside it.
        self.program = self.work / "setup.exe"
        shutil.copy(probe("manifest_dump"), self.program)
        (self.work / "manifest").write_text(f"{signature_of(self.program)}\n[Run]\n")
        self.out = self.work / "dump.json"

    def parse(self, args: str) -> dict:
        """Runs the probe with a raw command line; returns what it saw."""
        cmdline = f'"{to_win(self.program)}" --setVariable-DumpTo={to_win(self.out)} {args}'
        run = drive([{"do": "start", "cmdline": cmdline}, {"do": "wait_exit"}])
        self.assertEqual(run.exit_code, 0, run)
        return json.loads(self.out.read_text(encoding="latin-1"))

    def test_quotes_inside_arguments_and_separators(self):
        d = self.parse("--setVariable-DumpNames=A|B|C|D|E "
                       "--setVariable-A=\"x y\"z\t'--setVariable-B=it\"s'\n"
                       "--setVariable-C=a\"b c\"d --setVariable-D=\"C:\\dir\\\" "
                       "--setVariable-E=one\rtwo \r\r")
        v = d["variables"]
        self.assertEqual(v["A"], "x yz")
        self.assertEqual(v["B"], 'it"s')
        self.assertEqual(v["C"], "ab cd")
        self.assertEqual(v["D"], "C:\\dir\\", "a backslash does not escape the closing quote")
        self.assertEqual(v["E"], "one\rtwo", "an inner carriage return stays; trailing ones go")

    def test_options_and_run_modes(self):
        d = self.parse(f"\"--dir=C:\\My Tools\" \"{LICENCE}\" --NO-SANDRIFT --no-Extras --setTrue-Quiet "
                       "--setVariable-DumpNames=Quiet|LicenceAgreed --bogus")
        v = d["variables"]
        self.assertEqual(v["InstDir"], "C:\\My Tools")
        self.assertEqual((v["HeadlessInstall"], v["LicenceAgreed"], v["Quiet"]), ("yes", "yes", "yes"))
        self.assertEqual(d["excluded"], ["SANDRIFT", "Extras"])
        # An installed copy is no installation: the same options with --remove
        # make a headless removal.
        d = self.parse(f"--dir=C:\\x \"{LICENCE}\" --remove")
        self.assertEqual((d["variables"]["HeadlessInstall"], d["variables"]["Remove"]), ("yes", "yes"))
        self.assertIsNone(d["variables"]["Install"])
        d = self.parse("--remove-silently")
        self.assertEqual((d["variables"]["HeadlessInstall"], d["variables"]["Remove"]), ("yes", "yes"))

    def test_argument_length_limit(self):
        d = self.parse("--setVariable-DumpNames=L --setVariable-L=" + "x" * (255 - len("--setVariable-L=")))
        self.assertEqual(len(d["variables"]["L"]) + len("--setVariable-L="), 255)
        self.out.unlink()
        run = fatal_run(self.program, f"--setVariable-DumpTo={to_win(self.out)}", "y" * 256)
        self.assertEqual(run.exit_code, 1)
        self.assertEqual([(b["caption"], b["text"], b["icon"]) for b in run.boxes],
                         [("Fatal error", "Error 917", "error")])
        self.assertFalse(self.out.exists(), "nothing runs after the fatal error")


class MessageFunctions(WineTest):
    """The installer's own message functions, called by messages_probe.exe."""

    def run_calls(self, calls: str, presses: list[str], *options: str):
        answers = self.work / "answers.txt"
        answers.unlink(missing_ok=True)
        before = temp_qz(folders_only=True)
        run = drive([{"do": "start", "cmdline": command_line(
                         probe("messages_probe"), f"--setVariable-Calls={calls}",
                         f"--setVariable-Answers={to_win(answers)}", *options)},
                     *[{"do": "box", "press": p} for p in presses],
                     {"do": "no_box", "for_ms": 300}, {"do": "wait_exit"}])
        self.assertIsNone(run.error, run)
        self.assertEqual(temp_qz(folders_only=True), before, "the temporary folder is gone")
        got = answers.read_text().split() if answers.exists() else []
        return run, got

    def test_boxes_answers_and_endings(self):
        run, answers = self.run_calls("retry,yesno,info,error,notice,long,fatal,info",
                                      ["retry", "no", "ok", "ok", "ok", "ok", "ok"])
        self.assertEqual(run.exit_code, 1, "a fatal error ends the run with 1")
        self.assertEqual(answers, ["retry=1", "yesno=0", "info=1", "error=1", "notice=1", "long=1"])
        boxes = [(b["caption"], b["text"], b["icon"], [x["id"] for x in b["buttons"]]) for b in run.boxes]
        self.assertEqual(boxes[:5], [
            ("Retry caption", "Retry text", "warning", [4, 2]),
            ("Question caption", "Question 2", "question", [6, 7]),
            ("Info caption", "Info text", "information", [1]),
            ("Error caption", "Error text", "error", [1]),
            ("Error", "Notice text", "information", [1])])
        self.assertEqual(run.boxes[5]["text"].replace("\n", ""), "x" * 4095, "a text is cut at 4095 characters")
        self.assertEqual(boxes[6], ("Fatal error", "Fatal text", "error", [1]))

        # SuppressMessages silences the notices only.
        run, answers = self.run_calls("notice,error,notice", ["ok"], "--setTrue-SuppressMessages")
        self.assertEqual((run.exit_code, answers), (0, ["notice=1", "error=1", "notice=1"]))
        self.assertEqual([b["caption"] for b in run.boxes], ["Error caption"])

        # In a headless run an error ends the run with 1 once its box is closed.
        run, answers = self.run_calls("error,info", ["ok"], "--setTrue-HeadlessInstall")
        self.assertEqual((run.exit_code, answers), (1, []))
        self.assertEqual([b["caption"] for b in run.boxes], ["Error caption"])


class SubInstallation(WineTest):
    def test_leaves_at_once_when_another_installer_window_exists(self):
        run = drive([
            {"do": "create_window", "class": FRAME_CLASS, "title": "another installer"},
            {"do": "start", "cmdline": f'"{to_win(STUB)}" --subinstall'},
            {"do": "no_box", "for_ms": 3000},
            {"do": "wait_exit", "timeout_ms": 10000},
        ])
        self.assertEqual(run.exit_code, 0, run)
        self.assertEqual(run.windows_seen, [])

    def test_runs_on_when_no_installer_window_exists(self):
        # The bare program has no archive and no manifest beside it.
        run = fatal_run(STUB, "--subinstall")
        self.assertEqual(run.exit_code, 1)
        self.assertEqual(run.boxes[0]["text"], "Can't find the manifest")


if __name__ == "__main__":
    main()
