"""The entry seen from outside: raw command lines given to the real program
(started by the UI driver, which passes them verbatim), the fatal error for
an over-long argument, the sub-installation check and the run modes."""

import json
import shutil

from winetest import FRAME_CLASS, LICENCE, STUB, WineTest, drive, fatal_run, main, probe, signature_of, to_win


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
