"""The wizard frame and the run sequence, under Wine and Xvfb.

Interactive runs use frame_stub.exe packed by mkinst: the real run sequence
(splash, archive, rights, frame, message loop) with test pages that stay on
the screen, pages 0, 1 and 3 shown and page 2 passing itself over with the
no-way-back bit. Headless and corrupt runs use the installer program itself.
Screenshots go to the test artifacts."""

import struct
from pathlib import Path

from winetest import (FRAME_CLASS, LICENCE, Layout, WineTest, bmp_to_png, build_installer, command_line,
                      drive, header, main, probe, read_bmp, reg_delete, temp_qz, to_win, wait_for)

WS_CAPTION, WS_SYSMENU, WS_THICKFRAME = 0x00C00000, 0x00080000, 0x00040000
WS_MINIMIZEBOX, WS_MAXIMIZEBOX, WS_EX_CONTROLPARENT = 0x00020000, 0x00010000, 0x00010000

BACK_WIDTH, BACK_HEIGHT = 1600, 600
BLUE, ORANGE_RED, GREY = "#0040ff", "#ff4000", "#5a5a5a"
MANUFACTURER = "MeridoxFrameTests"
PRODUCT = "MeridoxFrameTest"

MANIFEST_TEMPLATE = """[Resources]
BACKGROUND=back.bmp
ICON=icon.ico

[Variables]
Manufacturer=@MANUFACTURER@
Product=@PRODUCT@
Version=1.0
Description=Frame Test Product
InstallerHelp=@HELP@
OrderingURL=@ORDERING@
BuildNo=Build 4711

[Features]
Feature=Main
bin/
readme.txt

[Components]
Component=Main
Description=Main files
Required=yes
Main

[Run]
"""


def manifest(help_link: str = "http://help.example.invalid/frame",
             ordering: str = "http://order.example.invalid/frame") -> str:
    return (MANIFEST_TEMPLATE.replace("@MANUFACTURER@", MANUFACTURER).replace("@PRODUCT@", PRODUCT)
            .replace("@HELP@", help_link).replace("@ORDERING@", ordering))


def background_colour(x: int, y: int, width: int = BACK_WIDTH) -> str:
    """The test background: light colours that tell the column (red and green)
    and the row (blue) that a pixel came from; the left half is bluer."""
    red, green = 0xC0 | (x & 0x3F), 0xC0 | (x >> 6 & 0x3F)
    blue = (0xC0 if x >= width // 2 else 0x80) | (y & 0x3F)
    return f"#{red:02x}{green:02x}{blue:02x}"


def background_bmp(width: int = BACK_WIDTH, height: int = BACK_HEIGHT) -> bytes:
    """A 24-bit picture of background_colour, by default much wider than any frame."""
    stride = (width * 3 + 3) & ~3
    reds = bytes(0xC0 | (x & 0x3F) for x in range(width))
    greens = bytes(0xC0 | (x >> 6 & 0x3F) for x in range(width))
    half = width // 2
    rows = []
    for y in range(height - 1, -1, -1):  # bottom-up
        row = bytearray(stride)
        row[0:width * 3:3] = bytes([0x80 | (y & 0x3F)]) * half + bytes([0xC0 | (y & 0x3F)]) * (width - half)
        row[1:width * 3:3] = greens
        row[2:width * 3:3] = reds
        rows.append(bytes(row))
    data = b"".join(rows)
    return (struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
            + struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
            + data)


def icon_ico(size: int = 32) -> bytes:
    pixels = bytes((0xE0, 0x80, 0x20, 0xFF)) * (size * size)
    mask = bytes(((size + 31) // 32 * 4) * size)
    image = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
    image += pixels + mask
    return struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), 22) + image


FILES = {"back.bmp": background_bmp(), "icon.ico": icon_ico(), "bin/readme.txt": b"read me\r\n"}


class FrameRuns(WineTest):
    """The frame on the screen, driven like a user would."""

    def setUp(self):
        super().setUp()
        self.installer = self.work / "setup.exe"
        self.build()
        self.temp_before = temp_qz()

    def build(self, text: str | None = None, background: bytes | None = None):
        files = dict(FILES, **({"back.bmp": background} if background else {}))
        build_installer(text or manifest(), files, self.installer, stub=probe("frame_stub"))

    def drive(self, *steps, **kw):
        # The frame is visible before its first page is entered and painted:
        # wait for the first page's buttons, then give the frame time to paint.
        run = drive([{"do": "start", "cmdline": command_line(self.installer)},
                     {"do": "wait_window", "class": FRAME_CLASS},
                     {"do": "wait_control", "id": 101, "text": "Next"}, {"do": "sleep", "ms": 300},
                     *steps], **kw)
        self.assertIsNone(run.error, run)
        return run

    def shot(self, name: str) -> dict:
        return {"do": "screenshot", "path": to_win(self.work / f"{name}.bmp"), "window": True}

    def keep_shot(self, name: str) -> Path:
        bmp = self.work / f"{name}.bmp"
        bmp_to_png(bmp, f"frame-{name}")
        return bmp

    def test_frame_window_buttons_and_page_sequence(self):
        run = self.drive(
            {"do": "controls"}, self.shot("page0"),
            {"do": "click", "id": 101}, {"do": "wait_control", "id": 102, "enabled": True}, {"do": "controls"},
            {"do": "click", "id": 101}, {"do": "wait_control", "id": 101, "text": "Finish"}, {"do": "controls"},
            self.shot("page3"),
            {"do": "click", "id": 101}, {"do": "wait_exit"})
        self.keep_shot("page0")
        self.keep_shot("page3")
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.boxes, [])

        window = run.of("wait_window")[0]
        self.assertEqual(window["class"], "MERIDOX Installer")
        self.assertEqual(window["title"], "Installing Frame Test Product")
        self.assertEqual(window["style"] & WS_CAPTION, WS_CAPTION)
        self.assertEqual(window["style"] & (WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0)
        self.assertTrue(window["exstyle"] & WS_EX_CONTROLPARENT)

        layout = Layout(window)
        self.assertEqual(layout.width % 100, 0, "400 dialog units are 100 * ux pixels")
        self.assertIsNotNone(layout.uy, f"no uy gives a height of {layout.height}")
        left, top, right, bottom = window["rect"]
        self.assertEqual(left, (1024 - layout.width) // 2)
        self.assertEqual(top, (768 - layout.height) // 2)

        page0, page1, page3 = (run.controls(i) for i in range(3))
        for cid, text, x in ((102, "< Back", 244), (101, "Next", 285), (2, "Cancel", 335)):
            self.assertEqual(page0[cid]["class"], "Button")
            self.assertEqual(page0[cid]["text"], text)
            self.assertTrue(page0[cid]["visible"])
            self.assertEqual(page0[cid]["rect"], layout.rect(x, 250, x + 40, 265), f"button {cid}")
        self.assertEqual([page0[i]["enabled"] for i in (102, 101, 2)], [False, True, True])
        self.assertEqual([page1[i]["enabled"] for i in (102, 101, 2)], [True, True, True])
        self.assertEqual(page1[101]["text"], "Next")
        self.assertEqual(page3[101]["text"], "Finish")
        self.assertEqual([page3[i]["enabled"] for i in (102, 101, 2)], [False, True, False])
        self.assertEqual(temp_qz(), self.temp_before, "the temporary folder is deleted")

    def test_cancel_asks_no_keeps_the_run_and_yes_ends_it_with_1(self):
        run = self.drive(
            {"do": "pixel", "x": 0, "y": 0},
            {"do": "click", "id": 2}, {"do": "box", "press": "no"},
            {"do": "no_box", "for_ms": 300}, {"do": "controls"},
            {"do": "click", "id": 2}, {"do": "box", "press": "yes"},
            {"do": "wait_exit"})
        self.assertEqual(run.exit_code, 1)
        first, second = run.boxes
        self.assertEqual(first["caption"], "Cancel setup")
        self.assertEqual(first["text"], "Setup is not complete;\nare you sure you want to quit?")
        self.assertEqual(first["icon"], "question")
        self.assertEqual([b["id"] for b in first["buttons"]], [6, 7])
        self.assertEqual((second["caption"], second["text"]), (first["caption"], first["text"]))
        # After No the frame is still there, on its first page.
        self.assertEqual(run.controls()[101]["text"], "Next")
        # The background came from the temporary folder, which is gone now.
        offset = BACK_WIDTH - Layout(run.of("wait_window")[0]).width
        self.assertEqual(run.of("pixel")[0]["color"], background_colour(offset, 0))
        self.assertEqual(temp_qz(), self.temp_before)

    def test_closing_the_window_ends_the_run_with_0(self):
        run = self.drive({"do": "close"}, {"do": "wait_exit"})
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.boxes, [])
        self.assertEqual(temp_qz(), self.temp_before)

    def test_background_shows_its_right_hand_part(self):
        run = self.drive({"do": "pixel", "x": 0, "y": 0}, {"do": "pixel", "x": 5, "y": 40},
                         {"do": "pixel", "x": 300, "y": 100}, {"do": "close"}, {"do": "wait_exit"})
        layout = Layout(run.of("wait_window")[0])
        offset = BACK_WIDTH - layout.width
        for p in run.of("pixel"):
            self.assertEqual(p["color"], background_colour(offset + p["x"], p["y"]), p)

    def test_background_is_aligned_on_the_frame_right_edge(self):
        width = Layout(self.drive({"do": "close"}, {"do": "wait_exit"}).of("wait_window")[0]).width
        # One of the frame's width shows whole; a narrower one leaves a strip
        # on the left (what lies there is the graphics system's business).
        for name, bmp_width in (("frame-width", width), ("narrower", width - 100)):
            with self.subTest(background=name):
                self.build(background=background_bmp(bmp_width))
                run = self.drive({"do": "pixel", "x": 100, "y": 0}, {"do": "pixel", "x": 300, "y": 100},
                                 self.shot(f"background-{name}"), {"do": "close"}, {"do": "wait_exit"})
                self.keep_shot(f"background-{name}")
                offset = bmp_width - width
                for p in run.of("pixel"):
                    self.assertEqual(p["color"], background_colour(p["x"] + offset, p["y"], bmp_width), p)

    def test_without_a_background_the_window_colour_shows(self):
        self.build(text=manifest().replace("BACKGROUND=back.bmp\n", ""))
        run = self.drive({"do": "pixel", "x": 5, "y": 5}, {"do": "pixel", "x": 300, "y": 400},
                         self.shot("no-background"), {"do": "close"}, {"do": "wait_exit"})
        self.keep_shot("no-background")
        colours = {p["color"] for p in run.of("pixel")}
        self.assertEqual(len(colours), 1, colours)
        self.assertNotEqual(colours, {"#000000"}, "the frame is painted, not left black")

    def test_links_and_build_number_are_painted_and_a_link_lights_up_under_the_pointer(self):
        # First find the links' ink on a screenshot of the frame.
        run = self.drive({"do": "pixel", "x": 0, "y": 0}, self.shot("links"), {"do": "close"}, {"do": "wait_exit"})
        bmp = self.keep_shot("links")
        layout = Layout(run.of("wait_window")[0])
        _, _, colour = read_bmp(bmp)
        left, top = run.of("wait_window")[0]["rect"][:2]
        sx, sy = run.of("pixel")[0]["screen"]
        dx, dy = sx - left, sy - top  # the client area's place in the shot

        def ink(rect, wanted):
            l, t, r, b = rect
            return [(x, y) for y in range(t, b + 2) for x in range(l, r)
                    if colour(x + dx, y + dy) == wanted]

        help_link = layout.rect(25, 248, 25, 256)
        ordering = layout.rect(25, 258, 25, 266)
        # The right edges come from the text widths; a generous width finds the ink.
        help_link[2] = ordering[2] = help_link[0] + 40 * layout.ux
        help_ink, ordering_ink = ink(help_link, BLUE), ink(ordering, BLUE)
        self.assertGreater(len(help_ink), 10, "On-line help is painted in blue")
        self.assertGreater(len(ordering_ink), 10, "Ordering Information is painted in blue")
        self.assertGreater(len(ink([36, 435, 36 + 60, 450], GREY)), 5, "the build number is painted in grey")
        self.assertGreater(len(ink(layout.rect(25, 75, 375, 100), GREY)), 20, "the page text is painted in grey")

        # Then watch one pixel of the help link's text while the pointer comes and goes.
        x, y = help_ink[len(help_ink) // 2]
        hx, hy = help_link[0] + 2, help_link[1] + 2
        run = self.drive(
            {"do": "pixel", "x": x, "y": y},
            {"do": "post", "msg": "WM_MOUSEMOVE", "x": hx, "y": hy}, {"do": "sleep", "ms": 500},
            {"do": "pixel", "x": x, "y": y}, self.shot("hover"),
            {"do": "post", "msg": "WM_MOUSEMOVE", "x": 5, "y": 5}, {"do": "sleep", "ms": 500},
            {"do": "pixel", "x": x, "y": y},
            {"do": "close"}, {"do": "wait_exit"})
        self.keep_shot("hover")
        self.assertEqual([p["color"] for p in run.of("pixel")], [BLUE, ORANGE_RED, BLUE])

    def test_a_press_on_a_link_opens_its_address_as_written(self):
        # The addresses are batch files that leave a mark; the brackets in the
        # name would be lost to variable expansion.
        marks = {}
        links = {}
        for name in ("help", "ordering"):
            marks[name] = self.work / f"{name}.mark"
            bat = self.work / f"{name}[Product].bat"
            bat.write_text(f'@echo opened > "{to_win(marks[name])}"\r\n', encoding="latin-1")
            links[name] = to_win(bat)
        self.build(manifest(links["help"], links["ordering"]))
        probe_run = self.drive({"do": "close"}, {"do": "wait_exit"})
        layout = Layout(probe_run.of("wait_window")[0])
        help_x, help_y = layout.rect(25, 248, 25, 256)[:2]
        ordering_x, ordering_y = layout.rect(25, 258, 25, 266)[:2]

        run = self.drive({"do": "post", "msg": "WM_LBUTTONDOWN", "x": help_x + 2, "y": help_y + 2},
                         {"do": "post", "msg": "WM_RBUTTONDOWN", "x": ordering_x + 2, "y": ordering_y + 2},
                         {"do": "no_box", "for_ms": 300}, {"do": "close"}, {"do": "wait_exit"})
        self.assertTrue(wait_for(lambda: all(m.exists() for m in marks.values()), timeout=20),
                        f"not opened: {[n for n, m in marks.items() if not m.exists()]}")
        self.assertEqual(run.boxes, [])


class InstallerRuns(WineTest):
    """The installer program itself, through the run sequence's other roads."""

    def setUp(self):
        super().setUp()
        self.installer = self.work / "setup.exe"
        build_installer(manifest(), FILES, self.installer)

    def tearDown(self):
        # What the headless installation registered.
        reg_delete(f"HKLM\\SOFTWARE\\{MANUFACTURER}")
        reg_delete(f"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{PRODUCT} 1.0PL0")
        super().tearDown()

    def test_headless_run_ends_with_0_and_shows_no_window(self):
        target = self.work / "installed"
        temp_before = temp_qz()
        run = drive([{"do": "start", "cmdline": command_line(
                         self.installer, f'"--dir={to_win(target)}"', LICENCE)},
                     {"do": "wait_exit", "timeout_ms": 60000}])
        self.assertIsNone(run.error, run)
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.windows_seen, [])
        self.assertEqual(temp_qz(), temp_before)
        # The page sequence ran through the progress page, which installed.
        self.assertEqual((target / "bin" / "readme.txt").read_bytes(), FILES["bin/readme.txt"])

    def test_corrupt_installer_stops_with_the_corruption_box_before_the_rights_check(self):
        data = bytearray(self.installer.read_bytes())
        data[header(self.installer)["at"] + 20 + 64] ^= 0xFF  # inside the gzip member
        self.installer.write_bytes(data)
        temp_before = temp_qz()
        run = drive([{"do": "start", "cmdline": command_line(self.installer)},
                     {"do": "box", "timeout_ms": 30000, "press": "ok"},
                     {"do": "no_box", "for_ms": 300},
                     {"do": "wait_exit"}])
        self.assertIsNone(run.error, run)
        self.assertEqual(run.exit_code, 1)
        self.assertEqual([(b["caption"], b["text"]) for b in run.boxes],
                         [("Fatal error", "Installer is corrupt or truncated")])
        seen = [(w["class"], w["title"]) for w in run.windows_seen]
        self.assertIn(("Static", "Verifying installer integrity - please wait"), seen)
        self.assertNotIn(FRAME_CLASS, [c for c, _ in seen])
        self.assertEqual(temp_qz(), temp_before)


if __name__ == "__main__":
    main()
