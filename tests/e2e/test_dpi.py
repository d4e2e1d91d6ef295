"""The wizard on a 1024 x 768 screen at 96, 120, 144 and 192 DPI: each page is the
96 DPI one in proportion (shrunk where it would not fit the screen), its
picture scaled through a filter, every control inside the frame and every text
inside its control. Screenshots of each page at each DPI go to the artifacts.

A new DPI (LogPixels) takes effect when the wineserver starts again: the
scenario runs in a bench of its own, so the other tests' bench stays at 96."""

import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parents[1] / "winebench" / "winebench.sh"
if __name__ == "__main__" and not os.environ.get("DPI_BENCH"):
    own = dict(os.environ, WINEBENCH_DIR=os.environ["WINEBENCH_DIR"] + "-dpi", DPI_BENCH="1")
    try:
        subprocess.run([BENCH, "start"], env=own, check=True, stdout=subprocess.DEVNULL)
        code = subprocess.run([BENCH, "exec", sys.executable, __file__], env=own).returncode
    finally:
        subprocess.run([BENCH, "stop"], env=own)
        shutil.rmtree(own["WINEBENCH_DIR"], ignore_errors=True)  # a second prefix of 600 MB
    sys.exit(code)

from winetest import (FRAME_CLASS, WineTest, bmp_to_png, build_installer, command_line, drive, main, probe,
                      read_bmp, reg_delete, to_win)

MAKER = "MERIDOX DPI Tests"
LIGHT, DARK = "#e0e8f0", "#202020"
BLOCK = (440, 20, 540, 60)  # dark, in the picture's top right corner: where it shows tells its scale
FOLDER, STATUS, BUSY = 201, 501, "Installing components - Please wait, this may take several minutes"


def picture(width=600, height=470) -> bytes:
    """A 24-bit picture for the wizard at 96 DPI: light, with the dark block."""
    light, dark = bytes.fromhex(LIGHT[1:])[::-1], bytes.fromhex(DARK[1:])[::-1]
    l, t, r, b = BLOCK
    rows = [(light * l + dark * (r - l) + light * (width - r)) if t <= y < b else light * width
            for y in range(height - 1, -1, -1)]  # bottom-up, 1800 bytes: no padding
    return (struct.pack("<2sIHHIIiiHHIIiiII", b"BM", 54 + width * height * 3, 0, 0, 54, 40, width, height,
                        1, 24, 0, width * height * 3, 3780, 3780, 0, 0) + b"".join(rows))


class HighDpi(WineTest):
    def wizard(self, installer: Path, dpi: int):
        """One installation through every page, with the controls and a
        screenshot of each; the folder set too long for its box."""
        subprocess.run([BENCH, "dpi", str(dpi)], check=True)
        folder = self.work / ("Scaled Product installed at a high resolution " * 3).strip()
        shots = [self.work / f"{dpi}-{page}.bmp" for page in ("welcome", "folder", "progress", "completion")]
        look = [[{"do": "sleep", "ms": 300}, {"do": "controls"},
                 {"do": "screenshot", "path": to_win(s), "window": True}] for s in shots]
        run = drive([
            {"do": "start", "cmdline": command_line(installer)}, {"do": "wait_window", "class": FRAME_CLASS},
            {"do": "wait_control", "id": 101, "enabled": True}, {"do": "pixel", "x": 0, "y": 0}, *look[0],
            {"do": "click", "id": 101}, {"do": "wait_control", "id": FOLDER, "visible": True}, *look[1],
            {"do": "set_text", "id": FOLDER, "text": to_win(folder)}, {"do": "controls"}, {"do": "click", "id": 101},
            {"do": "wait_control", "id": 0, "text": BUSY, "visible": True}, *look[2],
            {"do": "wait_control", "id": 101, "text": "Finish", "timeout_ms": 60000}, *look[3],
            {"do": "click", "id": 303}, {"do": "click", "id": 101}, {"do": "wait_exit"}], timeout_ms=30000)
        self.assertIsNone(run.error, run)
        self.assertEqual((run.exit_code, run.boxes), (0, []))
        reg_delete(f"HKLM\\SOFTWARE\\{MAKER}")
        reg_delete("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Scaled 1.0PL0")
        shutil.rmtree(folder)
        for shot in shots:
            bmp_to_png(shot, f"dpi-{shot.stem}")
        return run, read_bmp(shots[0])[2]

    def test_every_page_at_96_120_144_and_192_dpi(self):
        installer = self.work / "setup.exe"
        build_installer(f"""[Resources]\nBACKGROUND=back.bmp\nSLOWSETUP=slow.exe\n[Variables]
Manufacturer={MAKER}\nProduct=Scaled\nVersion=1.0\nDescription=Scaled Product\nBuildNo=Build 4711
InstallerHelp=http://help.example.invalid/\nOrderingURL=http://order.example.invalid/\nReadQuickstart=doc\\readme.txt
[Features]\nFeature=Main\ndoc/\nreadme.txt\nFeature=Runtime\nInstaller=SLOWSETUP
Arguments={to_win(self.work / "ran.txt")} 0 2500\n[Components]\nComponent=Main
Description=Scaled Product (program and documentation)\nRequired=yes\nMain\nComponent=Runtime
Description=Runtime of the product, installed by its own installer\nRuntime\n[Run]\n""",
                        {"back.bmp": picture(), "slow.exe": probe("fake_setup").read_bytes(),
                         "doc/readme.txt": b"read me\r\n"}, installer)
        at_96 = None
        for dpi in (96, 120, 144, 192):
            with self.subTest(dpi=dpi):
                run, colour = self.wizard(installer, dpi)
                window = run.of("wait_window")[0]
                left, top, right, bottom = window["rect"]
                self.assertTrue(left >= 0 and top >= 0 and right <= 1024 and bottom <= 768, window)
                pages = [[c for c in run.control_list(i) if c["visible"]] for i in (0, 1, 3, 4)]
                at_96 = at_96 or (right - left, pages)
                # As large as the DPI asks, or as the screen allows.
                scale = (right - left) / at_96[0]
                self.assertAlmostEqual(scale, min(dpi / 96, 768 / (bottom - top) * scale), delta=0.02)
                width, height = window["client"]
                for page, page_at_96 in zip(pages, at_96[1]):
                    self.assertEqual(len(page), len(page_at_96))
                    for c, was in zip(page, page_at_96):
                        l, t, r, b = c["rect"]
                        self.assertTrue(0 <= l and 0 <= t and r <= width and b <= height, c)
                        for now, then in zip(c["rect"], was["rect"]):
                            self.assertAlmostEqual(now, then * scale, delta=1 + scale, msg=c)
                        if c["ideal"]:
                            self.assertTrue(c["ideal"][0] <= c["client"][0] and c["ideal"][1] <= c["client"][1], c)
                        if c["class"] == "Edit" and c["id"] not in (FOLDER, STATUS):  # these two scroll
                            self.assertEqual(c["end_char"], len(c["text"]), c)
                folder = run.controls(2)[FOLDER]
                self.assertLess(folder["end_char"], len(folder["text"]), "the measure sees a text cut")
                # The block where the scale puts it, its edge blended wherever the picture is scaled.
                point = run.of("pixel")[0]
                at = lambda x, y: colour(x + point["screen"][0] - left, y + point["screen"][1] - top)
                l, t, r, b = (round(v * scale) for v in BLOCK)
                y = (t + b) // 2
                self.assertEqual([at(l - 3, y), at((l + r) // 2, y), at(r + 3, y), at(l, b + 3)],
                                 [LIGHT, DARK, LIGHT, LIGHT])
                blended = {at(x, y) for x in range(l - 2, l + 3)} - {LIGHT, DARK}
                self.assertEqual(bool(blended), scale != 1, f"the edge at {scale:.2f}: {blended}")


if __name__ == "__main__":
    main()
