"""End-to-end tests of driver.exe, run under Wine against testee.exe.

Environment: WINE (default "wine"); DRIVER_EXE and TESTEE_EXE (Linux paths;
default driver.exe and testee.exe in WIN_BUILD_DIR); ARTIFACTS (scripts,
records and screenshots go to its "driver" folder; default a fresh temporary
folder). WINEPREFIX, DISPLAY and a running wineserver come from the test
bench. The tests read the screen: nothing else may show windows on the same
display meanwhile.
"""

import json
import os
import struct
import subprocess
import tempfile
import time
import unittest

WINE = os.environ.get("WINE", "wine")
WIN_BUILD = os.environ.get("WIN_BUILD_DIR", "")
DRIVER = os.environ.get("DRIVER_EXE") or os.path.join(WIN_BUILD, "driver.exe")
TESTEE = os.environ.get("TESTEE_EXE") or os.path.join(WIN_BUILD, "testee.exe")
ARTIFACTS = (os.path.join(os.environ["ARTIFACTS"], "driver") if os.environ.get("ARTIFACTS")
             else tempfile.mkdtemp(prefix="driver-test-"))
TAG = str(os.getpid())  # window classes unique to this run: the display may be shared

WS_VISIBLE, WS_CAPTION = 0x10000000, 0x00C00000


def setUpModule():
    if not (os.path.isfile(DRIVER) and os.path.isfile(TESTEE)):
        raise RuntimeError(f"no {DRIVER} or {TESTEE}: set DRIVER_EXE and TESTEE_EXE, or WIN_BUILD_DIR")
    os.makedirs(ARTIFACTS, exist_ok=True)


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def art(name):
    return os.path.join(ARTIFACTS, name)


def testee(*args):
    return " ".join([f'"{winpath(TESTEE)}"', *args])


class Run:
    def __init__(self, rc, records):
        self.rc, self.records = rc, records

    def all(self, what):
        return [r for r in self.records if r["do"] == what]

    def one(self, what):
        found = self.all(what)
        assert len(found) == 1, f"expected one {what!r} record, got {found}"
        return found[0]

    @property
    def error(self):
        errors = [r for r in self.records if "error" in r]
        return errors[-1] if errors else None


def drive(name, steps, timeout_ms=10000, script=None):
    """Runs driver.exe on the steps; returns its exit code and records."""
    script_path, out_path = art(name + ".json"), art(name + ".jsonl")
    with open(script_path, "w", encoding="ascii") as f:
        f.write(script if script is not None else json.dumps({"timeout_ms": timeout_ms, "steps": steps}))
    with open(art(name + ".log"), "wb") as log:
        rc = subprocess.run([WINE, DRIVER, winpath(script_path), winpath(out_path)],
                            stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                            timeout=120).returncode
    with open(out_path, encoding="ascii") as f:
        records = [json.loads(line) for line in f]
    # Every record says which step wrote it and when; times never go back.
    times = [r.pop("at_ms") for r in records]
    assert all(isinstance(r["step"], int) and isinstance(r["do"], str) for r in records), records
    assert times == sorted(times), times
    return Run(rc, records)


def read_bmp(path):
    """(width, height, pixel(x, y) -> 0xRRGGBB with y from the top) of a 24-bit BMP."""
    with open(path, "rb") as f:
        data = f.read()
    magic, size, _, offset = struct.unpack_from("<2sIII", data, 0)
    header, width, height, planes, bpp, compression = struct.unpack_from("<IiiHHI", data, 14)
    assert (magic, size, header, planes, bpp, compression) == (b"BM", len(data), 40, 1, 24, 0)
    stride = (width * 3 + 3) & ~3
    assert len(data) == offset + stride * height

    def pixel(x, y):
        b, g, r = data[offset + (height - 1 - y) * stride + 3 * x:][:3]
        return r << 16 | g << 8 | b
    return width, height, pixel


def beats(path):
    with open(path) as f:
        return f.read()


class CommandLineTest(unittest.TestCase):
    def test_raw_command_line_reaches_the_program_verbatim(self):
        folder = tempfile.mkdtemp(dir=ARTIFACTS)
        tail = 'plain "quoted ""inner"" text"\targ\r\nnext line \xe9  two  spaces "trailing\\"'
        cmdline = testee("echo", "echo.txt", tail)
        run = drive("cmdline", [{"do": "start", "cmdline": cmdline, "cwd": winpath(folder)},
                                {"do": "wait_exit"}])
        self.assertEqual(run.rc, 7)
        self.assertEqual(run.one("start")["cmdline"], cmdline)
        self.assertEqual(run.one("wait_exit")["exit_code"], 7)
        # The relative echo file landing in the folder shows cwd was used.
        with open(os.path.join(folder, "echo.txt"), "rb") as f:
            self.assertEqual(f.read(), cmdline.encode("latin-1"))
        self.assertEqual(run.all("seen_window"), [], "a windowless run showed a window")
        self.assertEqual(run.records[-1], {"step": 2, "do": "end", "exit_code": 7, "terminated": []})


class MessageBoxTest(unittest.TestCase):
    CASES = [  # icon, buttons, press, expected ids and texts left to right, exit code
        ("error", "ok", "ok", [(1, "OK")], 1),
        ("warning", "okcancel", "cancel", [(1, "OK"), (2, "Cancel")], 2),
        ("question", "yesno", "no", [(6, "&Yes"), (7, "&No")], 7),
        ("information", "yesnocancel", "yes", [(6, "&Yes"), (7, "&No"), (2, "Cancel")], 6),
        ("none", "retrycancel", "retry", [(4, "&Retry"), (2, "Cancel")], 4),
        ("error", "abortretryignore", 5, [(3, "&Abort"), (4, "&Retry"), (5, "&Ignore")], 5),
    ]

    def test_icon_kinds_buttons_and_answers(self):
        steps = []
        for i, (icon, buttons, press, _, _) in enumerate(self.CASES):
            steps += [{"do": "start", "cmdline": testee("box", icon, buttons, f'"Caption {i}"', f'"Text \'{i}\'"')},
                      {"do": "box", "press": press}, {"do": "wait_exit"}]
        run = drive("boxes", steps)
        self.assertIsNone(run.error)
        self.assertEqual(run.rc, self.CASES[-1][4])
        for i, (box, done, case) in enumerate(zip(run.all("box"), run.all("wait_exit"), self.CASES)):
            icon, _, _, buttons, code = case
            with self.subTest(case=case):
                self.assertEqual((box["caption"], box["text"], box["icon"]), (f"Caption {i}", f"Text '{i}'", icon))
                self.assertEqual([(b["id"], b["text"]) for b in box["buttons"]], buttons)
                self.assertEqual((box["pressed"], done["exit_code"]), (code, code))


class RunTest(unittest.TestCase):
    def test_whole_runs_in_one_script(self):
        cls = "DrvRun" + TAG
        run = drive("runs", [
            {"do": "run", "cmdline": testee("box", "error", "ok", "Fatal", '"Broken"')},
            {"do": "run", "cmdline": testee("box", "question", "yesno", "Q", "A"), "press": "no"},
            {"do": "run", "cmdline": testee("box", "question", "yesno", "Q", "B"), "timeout_ms": 500},
            {"do": "run", "cmdline": testee("window", cls), "timeout_ms": 500},
            {"do": "run", "cmdline": f'"{winpath(art("missing.exe"))}"'},
        ])
        self.assertIsNone(run.error)
        ended = [(r.get("exit_code"), r.get("timed_out"), [(b["caption"], b["text"], b.get("pressed"))
                                                           for b in r.get("boxes", [])]) for r in run.all("run")]
        self.assertEqual(ended[:4], [(1, False, [("Fatal", "Broken", 1)]), (7, False, [("Q", "A", 7)]),
                                     (99, True, [("Q", "B", None)]), (99, True, [])])
        self.assertIn("CreateProcessA failed, error 2", run.all("run")[4]["start_error"])


class WindowTest(unittest.TestCase):
    def test_window_controls_input_and_pixels(self):
        cls = "DrvFrame" + TAG
        shot_window, shot_screen = art("window.bmp"), art("screen.bmp")
        run = drive("window", [
            {"do": "start", "cmdline": testee("window", cls)},
            {"do": "wait_window", "class": cls},
            {"do": "controls"},
            {"do": "no_box", "for_ms": 200},
            {"do": "set_text", "id": 1004, "text": "hello w\xf6rld"},
            {"do": "wait_control", "id": 1005, "text": "edit: hello w\xf6rld", "timeout_ms": 3000},
            {"do": "post", "msg": "WM_MOUSEMOVE", "x": 12, "y": 34},
            {"do": "wait_control", "id": 1005, "text": "mouse 12,34", "timeout_ms": 3000},
            {"do": "pixel", "x": 250, "y": 150},
            {"do": "screenshot", "path": winpath(shot_window), "window": True},
            {"do": "screenshot", "path": winpath(shot_screen)},
            {"do": "click", "id": 1003},
            {"do": "wait_control", "id": 1003, "checked": 0, "timeout_ms": 3000},
            {"do": "click", "id": 1001},
            {"do": "wait_exit"},
        ])
        self.assertIsNone(run.error)
        self.assertEqual(run.rc, 40)  # Next with the option unticked

        win = run.one("wait_window")
        self.assertEqual((win["class"], win["title"], win["client"], win["icon"]), (cls, "Testee " + cls, [400, 300], True))
        self.assertEqual(win["style"] & (WS_VISIBLE | WS_CAPTION), WS_VISIBLE | WS_CAPTION)
        self.assertEqual([w["class"] for w in run.all("seen_window")], [cls])

        controls = {c["id"]: c for c in run.one("controls")["controls"]}
        self.assertEqual(sorted(controls), [1001, 1002, 1003, 1004, 1005, 1006, 1007])
        expect = {  # id: class, text, enabled, checked, rect in client coordinates
            1001: ("Button", "Next >", True, 0, [300, 260, 390, 286]),
            1002: ("Button", "< Back", False, 0, [200, 260, 290, 286]),
            1003: ("Button", "Option", True, 1, [10, 70, 160, 90]),
            1004: ("Edit", "initial", True, None, [10, 40, 210, 62]),
            1005: ("Static", "Ready", True, None, [10, 10, 390, 30]),
        }
        for cid, fields in expect.items():
            c = controls[cid]
            self.assertEqual((c["class"], c["text"], c["enabled"], c["checked"], c["rect"]), fields, cid)
            self.assertTrue(c["visible"])

        pixel = run.one("pixel")
        self.assertEqual(pixel["color"], "#123456")
        shots = run.all("screenshot")
        width, height, at = read_bmp(shot_window)
        left, top, right, bottom = win["rect"]
        self.assertEqual((width, height, shots[0]["width"], shots[0]["height"]),
                         (right - left, bottom - top, right - left, bottom - top))
        self.assertEqual(at(pixel["screen"][0] - left, pixel["screen"][1] - top), 0x123456)
        width, height, at = read_bmp(shot_screen)
        self.assertEqual((width, height), (shots[1]["width"], shots[1]["height"]))
        self.assertEqual(at(*pixel["screen"]), 0x123456)

    def test_class_icon_of_overlapping_windows_and_close(self):
        # Each window opens where the previous one is: what shows through
        # before a window paints must not be taken for its own caption.
        steps = []
        for i, icon in enumerate(["noicon", "icon", "noicon"]):
            cls = f"DrvIcon{i}x{TAG}"
            steps += [{"do": "start", "cmdline": testee("window", cls, icon)}, {"do": "wait_window", "class": cls}]
        run = drive("icons", steps + [{"do": "close"}, {"do": "wait_exit"}])
        self.assertEqual([w["icon"] for w in run.all("wait_window")], [False, True, False])
        self.assertEqual(run.rc, 3)
        self.assertEqual(len(run.records[-1]["terminated"]), 2)

    def test_click_that_opens_a_modal_box(self):
        cls = "DrvAsk" + TAG
        run = drive("ask", [{"do": "start", "cmdline": testee("window", cls)},
                            {"do": "wait_window", "class": cls}, {"do": "click", "id": 1006},
                            {"do": "box", "press": "no"}, {"do": "wait_exit"}])
        self.assertEqual(run.rc, 27)  # 20 + IDNO
        box = run.one("box")
        self.assertEqual((box["caption"], box["text"], box["icon"]), ("Question", "Really?", "question"))

    def test_created_window_is_found_and_answers(self):
        cls = "DrvOther" + TAG
        run = drive("other", [{"do": "start", "cmdline": testee("find", cls)}, {"do": "wait_exit"},
                              {"do": "create_window", "class": cls, "title": "Other instance"},
                              {"do": "start", "cmdline": testee("find", cls)}, {"do": "wait_exit"}])
        self.assertEqual([r["exit_code"] for r in run.all("wait_exit")], [0, 1])
        self.assertEqual(run.rc, 1)

    def test_second_instance_then_back_to_the_first(self):
        cls = "DrvFirst" + TAG
        run = drive("switch", [{"do": "start", "cmdline": testee("window", cls)}, {"do": "wait_window", "class": cls},
                               {"do": "start", "cmdline": testee("find", cls)}, {"do": "wait_exit"},
                               {"do": "switch", "program": 0}, {"do": "wait_window", "class": cls},
                               {"do": "click", "id": 1001}, {"do": "wait_exit"}])
        self.assertEqual([r["exit_code"] for r in run.all("wait_exit")], [1, 41])
        self.assertEqual(run.one("switch")["pid"], run.all("start")[0]["pid"])


class FailureTest(unittest.TestCase):
    def assertFailed(self, run, step, text):
        self.assertEqual(run.rc, 99)
        self.assertEqual((run.error["step"], run.records[-1]), (step, run.error))
        self.assertIn(text, run.error["error"])

    def test_wait_timeout_kills_the_program(self):
        cls, beat = "DrvSlow" + TAG, art("beat.txt")
        started = time.monotonic()
        run = drive("timeout", [{"do": "start", "cmdline": testee("window", cls, "icon", winpath(beat))},
                                {"do": "wait_window", "class": "NoSuchClass" + TAG, "timeout_ms": 700},
                                {"do": "wait_exit"}])
        self.assertLess(time.monotonic() - started, 30)
        self.assertFailed(run, 1, "NoSuchClass")
        self.assertEqual(run.error["do"], "wait_window")
        before = beats(beat)
        time.sleep(0.5)
        self.assertEqual(beats(beat), before, "the program kept running after the failure")

    def test_hung_program_costs_one_timeout_per_step(self):
        cls = "DrvHung" + TAG
        started = time.monotonic()
        run = drive("hung", [{"do": "start", "cmdline": testee("window", cls)}, {"do": "wait_window", "class": cls},
                             {"do": "click", "id": 1007}, {"do": "sleep", "ms": 200}, {"do": "controls"},
                             {"do": "set_text", "id": 1004, "text": "x"}])
        self.assertLess(time.monotonic() - started, 20)  # two 5 s timeouts, not one per control
        self.assertEqual([c["text"] for c in run.one("controls")["controls"]], [None] * 7)
        self.assertFailed(run, 5, "did not answer")

    def test_step_failures(self):
        cls = "DrvFail" + TAG
        window = [{"do": "start", "cmdline": testee("window", cls)}, {"do": "wait_window", "class": cls}]
        cases = {
            "missing_button": ([{"do": "start", "cmdline": testee("box", "error", "ok", "C", "T")},
                                {"do": "box", "press": "yes"}], 1, '"yes"'),
            "no_control": (window + [{"do": "click", "id": 4242}], 2, "4242"),
            "disabled": (window + [{"do": "click", "id": 1002}], 2, "disabled"),
            "unexpected_box": (window + [{"do": "click", "id": 1006}, {"do": "no_box", "for_ms": 5000}],
                               3, "Really?"),
            "still_running": (window + [{"do": "wait_exit", "timeout_ms": 300}], 2, "still running"),
            "exited_early": ([{"do": "start", "cmdline": testee("echo", winpath(art("early.txt")))},
                              {"do": "wait_window", "class": cls}], 1, "exited with code 7"),
        }
        for name, (steps, step, text) in cases.items():
            with self.subTest(name):
                self.assertFailed(drive("fail_" + name, steps), step, text)

    def test_bad_scripts_fail_before_anything_runs(self):
        good = {"do": "start", "cmdline": testee("echo", winpath(art("never.txt")))}
        cases = {
            "unknown_step": ([good, {"do": "clack", "id": 1}], 1, "clack"),
            "unknown_field": ([good, {"do": "click", "idd": 1}], 1, "idd"),
            "wrong_type": ([good, {"do": "sleep", "ms": "5"}], 1, '"ms" must be an integer'),
            "bad_name": ([good, {"do": "box", "press": "maybe"}], 1, "maybe"),
            "bad_range": ([good, {"do": "click", "id": 70000}], 1, "between 0 and 65535"),
            "wide_escape": ([{"do": "start", "cmdline": "x\u20acy"}], -1, "00ff"),
        }
        for name, (steps, step, text) in cases.items():
            with self.subTest(name):
                run = drive("bad_" + name, steps)
                self.assertFailed(run, step, text)
                self.assertEqual(run.all("start"), [])
        run = drive("bad_json", None, script='{"steps": [{"do": "sleep", "ms": 1},]}')
        self.assertFailed(run, -1, "byte 36")
        self.assertFalse(os.path.exists(art("never.txt")))


class ShellLinkTest(unittest.TestCase):
    def test_read_link_reports_what_was_saved(self):
        link = winpath(art("demo.lnk"))
        target, folder = r"C:\Program Files\Demo App\app.exe", r"C:\Program Files\Demo App"
        run = drive("link", [
            {"do": "start", "cmdline": testee("link", f'"{link}"', f'"{target}"', r'"--flag \"q\""', f'"{folder}"',
                                              rf'"{folder}\app.ico"', "3", '"Demo shortcut"', "7")},
            {"do": "wait_exit"},
            {"do": "read_link", "path": link},
        ])
        self.assertEqual(run.rc, 0)
        rec = run.one("read_link")
        del rec["step"], rec["do"]
        self.assertEqual(rec, {"path": link, "target": target, "arguments": '--flag "q"', "working_dir": folder,
                               "icon_path": folder + r"\app.ico", "icon_index": 3, "description": "Demo shortcut",
                               "show_cmd": 7, "hotkey": 0})


if __name__ == "__main__":
    unittest.main()
