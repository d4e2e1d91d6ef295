"""Downloads against real HTTP, FTP and proxy servers (netserve.py), and
features installed by external installers: found beside the installer, held in
a variable or downloaded, tried in turn and waited for while the window answers."""

import hashlib
import resource
import shutil
import signal
import tempfile
from pathlib import Path

from netserve import PASSWORD, USER, Servers
from winetest import LICENCE, WineTest, bmp_to_png, build_installer, command_line, drive, main, probe, reg_delete, \
    reg_query, temp_qz, to_the_work, to_win

SETUP = probe("fake_setup").read_bytes()
HEAD = "[Variables]\nManufacturer=MERIDOX Tests\nProduct=Downloads\nVersion=1.0\n[Features]\n"
servers: Servers


def setUpModule():
    global servers
    servers = Servers(Path(tempfile.mkdtemp(prefix="servers-")))


def tearDownModule():
    servers.stop()
    shutil.rmtree(servers.folder, ignore_errors=True)


def small_files_only():
    """No file may grow past 300000 bytes: a write beyond fails as on a full disk."""
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (300000, 300000))


class Download(WineTest):
    def fetch(self, urls: list[str], steps: list[dict], **driving):
        """download_probe.exe over `urls`, into a folder named with a trailing
        backslash: for each, the saved name (or None) and the progress calls."""
        folder, report = self.work / "saved", self.work / "report.txt"
        folder.mkdir()
        run = drive([{"do": "start", "cmdline": command_line(probe("download_probe"), to_win(folder) + "\\",
                                                              to_win(report), *urls)}, *steps, {"do": "wait_exit"}],
                    **driving)
        self.assertEqual(run.exit_code, 0, run)
        lines = [line.split("\t") for line in report.read_text().splitlines()]
        for path, *_ in lines:
            self.assertTrue(path == "-" or path == f"{to_win(folder)}\\{path.rsplit(chr(92), 1)[1]}", path)
        return [(p.rsplit("\\", 1)[1] if p != "-" else None, *map(int, c)) for p, *c in lines], folder, run

    def test_names_answers_and_progress(self):
        t, n, route = self.work.name, len(SETUP), servers.route
        every_block = (-(-n // 16384), n, n, 1)  # calls, the last one's two numbers, growing
        cases = [  # URL, saved name, progress calls (None: not looked at), notice
            (route(f"/{t}/setup.exe", SETUP), "setup.exe", every_block, None),
            (route(f"/{t}/named/setup.exe", SETUP, disposition="other.exe"), "other.exe", every_block, None),
            (route(f"/{t}/a/up.exe", SETUP, disposition="..\\..\\up1.exe"), "up1.exe", every_block, None),
            (route(f"/{t}/b/drive.exe", SETUP, disposition="C:\\drive2.exe"), "drive2.exe", every_block, None),
            (route(f"/{t}/c/sub.exe", SETUP, disposition="a/sub3.exe"), "sub3.exe", every_block, None),
            (route(f"/{t}/d/dots.exe", SETUP, disposition=".."), "dots.exe", every_block, None),
            (route(f"/{t}/e/mixed.exe", SETUP, disposition="x\\../../evil.exe"), "evil.exe", every_block, None),
            (route(f"/{t}/f/device.exe", SETUP, disposition="nul.txt"), "device.exe", every_block, None),
            (route(f"/{t}/g/long.exe", SETUP, disposition="n" * 101 + ".exe"), "long.exe", every_block, None),
            # The client reduces the path to "/"; the name must still stay in the folder.
            (route("/", SETUP) and f"http://{servers.host}/{t}/..\\..\\{t}.exe", f"{t}.exe", every_block, None),
            (route(f"/{t}/unsized.exe", SETUP, length=False), "unsized.exe", (0, 0, 0, 1), None),
            (servers.ftp(f"{t}-ftp.exe", SETUP), f"{t}-ftp.exe", every_block, None),
            (route(f"/{t}/folder/", SETUP), "download.exe", every_block, None),
            (f"http://{servers.host}/{t}/missing.exe", None, None, "Server error 404 while downloading"),
            (route(f"/{t}/cut.exe", SETUP, cut=5000), None, None, f"Transfer ended early: 5000 of {n} bytes received"),
            (servers.ftp(f"{t}-cut.exe", SETUP, cut=5000), None, None, f"Transfer ended early: 5000 of {n} bytes received"),
            (route(f"/{t}/big.exe", SETUP * 2), None, None, "Can't write file: {folder}\\big.exe: "),
            (f"ftp://{servers.host}/{t}-missing.exe", None, None, "FtpOpenFile failed: 12003"),
            ("ftp://127.255.255.254/nobody.exe", None, None, "InternetConnect failed: 12029"),
            (route(f"/{t}/upper.exe", SETUP).replace("http:", "HTTP:"), "upper.exe", every_block, None),
            (f"https://{servers.host}/{t}/setup.exe", None, None, "Must start with http:// or ftp://"),
            (f"http://{servers.host}", None, None, "No host part\n"),
        ]
        notices = [c[3] for c in cases if c[3]]
        saved, folder, run = self.fetch([c[0] for c in cases], [{"do": "box", "press": "ok"}] * len(notices),
                                        preexec_fn=small_files_only)
        for (url, name, calls, _), got in zip(cases, saved, strict=True):
            self.assertEqual(got[0], name, url)
            self.assertTrue(calls is None or got[1:] == calls, (url, got))
        self.assertEqual(sorted(p.name for p in folder.iterdir()), sorted(c[1] for c in cases if c[1]),
                         "a failed download leaves no file")
        self.assertTrue(all((folder / c[1]).read_bytes() == SETUP for c in cases if c[1]))
        for box, notice in zip(run.boxes, notices, strict=True):
            self.assertEqual(box["caption"], "Error")
            self.assertTrue(box["text"].startswith(notice.format(folder=to_win(folder))), (box["text"], notice))

    def test_proxy_log_on(self):
        path = f"/{self.work.name}/proxied.exe"
        servers.route(path, SETUP)
        saved, _, _ = self.fetch([f"http://downloads.example.invalid{path}"], [
            {"do": "wait_window", "class": "#32770", "title": "Enter Network Password"},
            {"do": "set_text", "id": 1027, "text": USER}, {"do": "set_text", "id": 1028, "text": PASSWORD},
            {"do": "click", "id": 1}], env={"http_proxy": f"http://{servers.host}:80"})
        self.assertEqual(saved[0][0], "proxied.exe")
        asked = [r for r in servers.requests() if r["path"].endswith(path)]
        self.assertEqual((asked[0]["status"], asked[0]["auth"]), (407, None))
        self.assertEqual([r["status"] for r in asked if r["auth"]], [200], "sent again with the credentials")


class ExternalInstallers(WineTest):
    def setUp(self):
        super().setUp()
        self.addCleanup(reg_delete, "HKLM\\SOFTWARE\\MERIDOX Tests")
        self.addCleanup(reg_delete, "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Downloads 1.0PL0")
        self.markers = self.work / "markers"
        self.markers.mkdir()

    def run_installer(self, features: str, steps: list[dict], *args: str, resources="", files=None):
        """Builds and runs an installer of `features` (one component "All");
        its temporary folder must be gone afterwards."""
        installer = self.work / "setup.exe"
        build_installer(resources + HEAD + features + "[Components]\nComponent=All\nRequired=yes\nAlpha\nBeta\nGamma\n[Run]\n",
                        files, installer)
        before = temp_qz(folders_only=True)
        run = drive([{"do": "start", "cmdline": command_line(installer, f"--dir={to_win(self.work / 'product')}",
                                                              f"--setVariable-Markers={to_win(self.markers)}", *args)},
                     *steps, {"do": "wait_exit", "timeout_ms": 30000}])
        self.assertEqual(temp_qz(folders_only=True), before, "the temporary folder goes with every download")
        return run

    def marker(self, name: str):
        path = self.markers / name
        return path.read_text().split() if path.exists() else None

    def test_alternatives_questions_rates_and_the_waiting_bar(self):
        (self.work / "fail-setup.exe").write_bytes(SETUP)
        t = self.work.name
        # The client fills its 16384-byte buffer before it reports a block (the
        # window waits meanwhile), so at 500 bytes/second a rate over whole
        # blocks takes a minute. This file ends 2000 bytes past a full block,
        # which come at 500 bytes/second after a pause of 3.5 seconds at that
        # block (a kilobytes/second line, replaced before the window answers).
        slow = servers.route(f"/{t}/alpha-setup.exe", SETUP + bytes((2000 - len(SETUP)) % 16384), rate=500,
                             slow=2000 + 1750)
        run = self.run_installer(f"""Feature=Alpha
Description=Alpha tools
Installer=fail-setup.exe
Arguments=[Markers]\\alpha-first 1
Installer={slow}
Arguments=[Markers]\\alpha 0 6000
Feature=Beta
Description=Beta runtime
Errmess=Beta comes with the tools.
Installer=missing-setup.exe
Alternate=[Markers]\\missing-setup.exe
Installer=fail-setup.exe
Arguments=[Markers]\\beta 0
Feature=Gamma
Description=Gamma drivers
Errmess=Gamma drives the probes.
Installer={servers.route(f"/{t}/cut-setup.exe", SETUP, cut=20000)}
Arguments=[Markers]\\cut 0
Installer=http://{servers.host}/{t}/missing.exe
Installer={servers.route(f"/{t}/gamma-setup.exe", SETUP + bytes(15_000_000), rate=2_000_000)}
Arguments=[Markers]\\gamma 1
""", [*to_the_work(),
            {"do": "wait_control", "id": 501, "contains": " bytes/second", "timeout_ms": 30000},
            {"do": "wait_control", "id": 502, "position": 2},
            {"do": "controls"},
            {"do": "screenshot", "path": to_win(self.work / "waiting.bmp")},
            {"do": "box", "press": "yes"}, {"do": "box", "press": "ok"}, {"do": "box", "press": "ok"},
            {"do": "wait_control", "id": 501, "contains": "megabytes/second"},
            {"do": "controls"},
            {"do": "box", "timeout_ms": 30000},
            {"do": "controls"},
            {"do": "wait_window", "class": "#32770", "title": "Install failed"}, {"do": "click", "id": 7},
            {"do": "box", "press": "ok"}])
        self.assertEqual(run.exit_code, 1, run)
        bmp_to_png(self.work / "waiting.bmp", "installer-running")
        self.assertEqual([(b["caption"], b["text"]) for b in run.boxes], [
            ("Installer not found", "No installer for Beta runtime was found\nBeta comes with the tools.\n"
                                    "Do you want to continue anyway?"),
            ("Error", f"Transfer ended early: 20000 of {len(SETUP)} bytes received"),
            ("Error", "Server error 404 while downloading"),
            ("Install failed", "The installation of Gamma drivers was not successful\nGamma drives the probes.\n"
                               "Do you want to continue anyway?"),
            ("Fatal error", "Installation terminated - suggest you install Gamma drivers\nthen retry this installation"),
        ])
        waiting, downloading, failed = (run.controls(i) for i in range(3))
        first_rate = next(w for w in run.of("wait_control") if w["control"]["id"] == 501)
        self.assertRegex(first_rate["control"]["text"].split("\r\n")[1],
                         r"^alpha-setup\.exe \d{3} bytes/second \(\d+% complete\)$", "in place of an empty line")
        self.assertEqual(waiting[0]["text"], "Installing components - Please wait, this may take several minutes")
        self.assertIsNotNone(waiting[501]["text"], "the frame answers while the installer runs")
        self.assertTrue(waiting[502]["visible"] and waiting[502]["position"] >= 2, "and the bar creeps")
        self.assertEqual(downloading[0]["text"], "Downloading Gamma drivers from the website, please wait...")
        self.assertTrue(downloading[0]["visible"])
        self.assertEqual((failed[502]["position"], failed[502]["visible"], failed[0]["visible"]), (100, True, False))
        lines = failed[501]["text"].split("\r\n")
        self.assertEqual(lines[0], " Installing Alpha tools")
        self.assertRegex(lines[1], r"^alpha-setup\.exe .*bytes/second \(\d+% complete\)$")
        self.assertEqual(lines[2:6], [" Installing Beta runtime", " Installing Gamma drivers", "", ""],
                         "a quick download and a failed one show no rate")
        self.assertRegex(lines[6], r"^gamma-setup\.exe [12]\.\d\d megabytes/second \(\d+% complete\)$")
        self.assertEqual(lines[7:], [""])
        self.assertEqual([self.marker(m) for m in ("alpha-first", "alpha", "gamma")], [["1"], ["0", "6000"], ["1"]])
        self.assertIsNone(self.marker("beta"), "the search stops at the line that resolves nowhere")
        self.assertIsNone(self.marker("cut"), "a truncated installer is never started")

    def test_cancel_during_a_download_takes_its_file_away(self):
        slow = servers.route(f"/{self.work.name}/slow-setup.exe", SETUP + bytes(600000), rate=60000)
        run = self.run_installer(f"Feature=Alpha\nInstaller={slow}\nArguments=[Markers]\\alpha 0\n"
                                 "Feature=Beta\nbin/\nb.txt\nFeature=Gamma\nbin/\ng.txt\n", [
            *to_the_work(), {"do": "wait_control", "id": 0, "contains": "Downloading", "visible": True,
                             "timeout_ms": 30000},
            {"do": "sleep", "ms": 1500}, {"do": "click", "id": 2}, {"do": "box", "press": "yes"}],
            files={"bin/b.txt": b"b", "bin/g.txt": b"g"})
        self.assertEqual(run.exit_code, 1, run)
        self.assertEqual([b["caption"] for b in run.boxes], ["Cancel setup"], "a transfer stops without waiting")
        self.assertIsNone(self.marker("alpha"))
        self.assertFalse((self.work / "product").exists())

    def test_headless_installers_are_waited_for(self):
        own = self.work / "own-setup.exe"
        own.write_bytes(SETUP)
        key = "SOFTWARE\\MERIDOX Tests\\Runtime"
        digest, wrong = hashlib.sha256(SETUP).hexdigest(), hashlib.sha256(b"other").hexdigest().upper()
        run = self.run_installer(f"""Feature=Alpha
Regkey={key}
Installer=RUNTIMESETUP
Arguments=[Markers]
Feature=Beta
Requires=Alpha
Installer={servers.ftp(f"{self.work.name}-docs.exe", SETUP)}
Digest={digest}
Arguments=[Markers]\\docs 0
Feature=Gamma
Installer={servers.route(f"/{self.work.name}/changed-setup.exe", SETUP).replace("http://", "HTTP://")}
Arguments=[Markers]\\changed 0
Digest={wrong}
Installer={servers.route(f"/{self.work.name}/pinned-setup.exe", SETUP, disposition="x.cmd")}
Digest={digest}
Arguments=[Markers]\\pinned 1
Installer={servers.route(f"/{self.work.name}/nameless/", SETUP, disposition="y.cmd")}
Digest={digest}
Arguments=[Markers]\\nameless 1
Installer=OwnSetup
Digest={digest.upper()}
Arguments=[Markers]\\own 0 2000
""", [], LICENCE, f"--setVariable-OwnSetup={to_win(own)}", "--unattended", f"--log={to_win(self.work / 'run.log')}",
            resources="[Resources]\nRUNTIMESETUP=runtime-setup.bat\n", files={
            "runtime-setup.bat": f'@reg add "HKLM\\{key}" /v InstallLocation /d %1 /f\r\n'.encode()})
        self.assertEqual((run.exit_code, run.boxes, run.windows_seen), (0, [], []), run)
        log = [line[20:] for line in (self.work / "run.log").read_text(encoding="latin-1").splitlines()]
        self.assertEqual([line for line in log if line.startswith("Error")],
                         ["Error: Digest mismatch: changed-setup.exe [OK, unattended]"],
                         "nothing else is met, not even the prerequisite question")
        self.assertIn(f"Downloaded ftp://{servers.host}/{self.work.name}-docs.exe: {len(SETUP)} bytes, "
                      f"SHA-256 {digest}", log)
        self.assertEqual([line.split("\\")[-1] for line in log if line.startswith("Digest mismatch: ")],
                         [f"changed-setup.exe: SHA-256 expected {wrong}, found {digest}"])
        self.assertIn(f'"{to_win(own)}" ended with exit code 0', log)
        self.assertIsNone(self.marker("changed"), "an installer that is not the one the manifest knows never runs")
        # A hostile server names the pinned files: it never decides how they run.
        started = [line.split('"')[1].rsplit("\\", 1)[1] for line in log if line.startswith("Started ")]
        self.assertEqual(started[-3:-1], ["pinned-setup.exe", "y.exe"])
        self.assertEqual([self.marker("pinned"), self.marker("nameless")], [["1"], ["1"]])
        self.assertEqual(reg_query("HKLM\\" + key, "InstallLocation"), ("REG_SZ", to_win(self.markers)))
        self.assertEqual(self.marker("docs"), ["0"])
        self.assertEqual(self.marker("own"), ["0", "2000"], "the run waited for it")
        self.assertTrue(own.exists(), "an installer outside the temporary folder is not deleted")


if __name__ == "__main__":
    main()
