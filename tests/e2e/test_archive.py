"""The installer archive, end to end: installers packed by mkinst run under
Wine, check their filecheck, read their manifest record and clean up their
temporary folder; damaged, cut, re-signed and locked cases end with the
installer's own messages, read from its boxes by the UI driver."""

import gzip
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import tempfile
import time
import zlib
from pathlib import Path

from winetest import (DRIVER, LICENCE, MKINST, SOURCE_DIR, STUB, WIN_BUILD, WineTest, build_installer,
                      command_line, drive, drive_c, header, held_open, main, reg_delete, reg_delete_if_empty,
                      signature_of, temp_dir, temp_qz, to_win, wine, wine_output)

PROBE = WIN_BUILD / "filecheck_probe.exe"
WIN_MKINST = WIN_BUILD / "mkinst.exe"
CORRUPT = "Installer is corrupt or truncated"
MAKER = "MERIDOX Software"


def filecheck_chunk() -> int:
    text = (SOURCE_DIR / "wininst" / "install" / "archive_format.h").read_text()
    return int(re.search(r"kFilecheckChunk = (\d+);", text).group(1))


def unused_section_byte(data: bytes) -> int:
    """A byte inside a section's raw data past its virtual size: covered by
    the filecheck, but never run or read by the program."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<HxxxxxxxxxxxxH", data, pe + 6)
    table = pe + 24 + optional_size
    for i in range(sections):
        virtual_size, _, raw_size, raw_at = struct.unpack_from("<IIII", data, table + 40 * i + 8)
        if 0 < virtual_size < raw_size:
            return raw_at + virtual_size
    raise AssertionError("no section with padding")


def product(name: str) -> str:
    return (f"[Variables]\nProduct={name}\nManufacturer={MAKER}\nVersion=1.0\n"
            "[Features]\nFeature=Main\nbin/\na.txt\nb.bin\n"
            "[Components]\nComponent=Main\nRequired=yes\nMain\n[Run]\n")


FILES = {"bin/a.txt": b"archive test\r\n", "bin/b.bin": bytes(range(256)) * 300}


class AsyncDriver:
    """The UI driver running in the background, so that a test can look at
    the prefix while the installer is in a known state."""

    def __init__(self, steps: list[dict], timeout_ms: int = 20000):
        scripts = drive_c() / "tests" / "driver-scripts"
        scripts.mkdir(parents=True, exist_ok=True)
        self.dir = Path(tempfile.mkdtemp(dir=scripts))
        script = self.dir / "script.json"
        self.out = self.dir / "out.jsonl"
        script.write_text(json.dumps({"timeout_ms": timeout_ms, "steps": steps}), encoding="latin-1")
        self.log = open(self.dir / "wine.log", "wb")
        self.process = subprocess.Popen(["wine", str(DRIVER), to_win(script), to_win(self.out)],
                                        stdout=self.log, stderr=subprocess.STDOUT,
                                        stdin=subprocess.DEVNULL)

    def records(self) -> list[dict]:
        if not self.out.exists():
            return []
        lines = self.out.read_text(encoding="latin-1").splitlines()
        # The last line may be half written.
        records = []
        for line in lines:
            try:
                records.append(json.loads(line))
            except json.JSONDecodeError:
                pass
        return records

    def wait_record(self, kind: str, timeout: float = 30) -> dict:
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            for r in self.records():
                if r.get("do") == kind and "error" not in r:
                    return r
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        raise AssertionError(f"no {kind} record: {self.records()}")

    def finish(self, timeout: float = 120) -> tuple[int, list[dict]]:
        """The driver's exit code and everything it recorded."""
        code = self.process.wait(timeout=timeout)
        self.log.close()
        records = self.records()
        shutil.rmtree(self.dir, ignore_errors=True)
        return code, records


class ArchiveTest(WineTest):
    products: list[str]

    def setUp(self):
        super().setUp()
        self.products = []

    def tearDown(self):
        for name in self.products:
            reg_delete(rf"HKLM\SOFTWARE\{MAKER}\{name}")
            reg_delete(rf"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{name} 1.0PL0")
        reg_delete_if_empty(rf"HKLM\SOFTWARE\{MAKER}")
        super().tearDown()

    def build(self, manifest: str, files=None, name="setup.exe", extra=None) -> Path:
        out = self.work / name
        build_installer(manifest, FILES if files is None else files, out, extra)
        return out

    def install(self, name: str) -> Path:
        self.products.append(name)
        return self.build(product(name))

    def fatal(self, program: Path, *args: str) -> dict:
        """Runs the program, expecting one fatal box; returns that box."""
        run = drive([{"do": "start", "cmdline": command_line(program, *args)},
                     {"do": "box", "press": "ok"},
                     {"do": "wait_exit"}])
        self.assertIsNone(run.error, run)
        self.assertEqual(run.exit_code, 1, run)
        box = run.boxes[0]
        self.assertEqual(box["caption"], "Fatal error", run)
        self.assertEqual(box["icon"], "error", run)
        return box

    def assert_runs(self, installer: Path, inst: Path):
        """A headless installation of `installer` into `inst` succeeds."""
        before = temp_qz()
        code = wine([installer, f"--dir={to_win(inst)}", LICENCE])
        self.assertEqual(code, 0)
        self.assertEqual((inst / "bin" / "a.txt").read_bytes(), FILES["bin/a.txt"])
        self.assertEqual((inst / "bin" / "b.bin").read_bytes(), FILES["bin/b.bin"])
        self.assertEqual(temp_qz() - before, set(), "the temporary folder is removed")


class GoodInstallers(ArchiveTest):
    def test_checked_installer_installs_and_removes_its_temporary_folder(self):
        installer = self.install("Archive Good")
        self.assert_runs(installer, self.work / "inst")
        # The manifest record came through: the installed manifest starts with
        # the signature of the stub's bytes at 23040 and carries the filled sizes.
        installed = (self.work / "inst" / "resources" / "manifest").read_text(encoding="latin-1")
        self.assertEqual(installed.splitlines()[0], signature_of(installer))
        # setup.exe is the stub alone: the header's stub length, no archive.
        h = header(installer)
        self.assertEqual((self.work / "inst" / "resources" / "setup.exe").read_bytes(),
                         installer.read_bytes()[:h["stub"]])

    def test_temporary_folder_lives_while_the_run_shows_a_box(self):
        installer = self.build("[Run]\n", extra=["--unchecked", "--signature", "0" * 32])
        before = temp_qz()
        driver = AsyncDriver([{"do": "start", "cmdline": command_line(installer)},
                              {"do": "box"},
                              {"do": "wait_window", "class": "#32770"},
                              {"do": "sleep", "ms": 3000},
                              {"do": "click", "id": 1},
                              {"do": "wait_exit"}])
        try:
            box = driver.wait_record("box")
            during = temp_qz() - before
            folders = [(temp_dir() / name).is_dir() and re.fullmatch(r"qz\d+", name) is not None for name in during]
        finally:
            code, _ = driver.finish()
        self.assertEqual(box["text"], "Invalid manifest signature")
        self.assertEqual(folders, [True], f"one new temporary folder qz<n> while the box is open: {during}")
        self.assertEqual(code, 1)
        self.assertEqual(temp_qz() - before, set(), "the temporary folder is gone after the run")

    def test_signed_installer_and_rewritten_headers_still_pass(self):
        installer = self.install("Archive Signed")
        key, cert = self.work / "key.pem", self.work / "cert.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-keyout", key, "-out", cert,
                        "-days", "2", "-nodes", "-subj", "/CN=MERIDOX Test Signing"],
                       check=True, capture_output=True)
        signed = self.work / "signed.exe"
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-n", "Archive test",
                        "-in", installer, "-out", signed], check=True, capture_output=True)
        # A self-signed certificate has no trusted chain: plain verify fails on
        # the chain, yet the file's digest matches; with the certificate as
        # its own CA the signature verifies.
        plain = subprocess.run(["osslsigncode", "verify", "-in", signed], capture_output=True, text=True)
        self.assertIn("self-signed certificate", plain.stdout + plain.stderr)
        digests = re.findall(r"(?:Current|Calculated) message digest\s*: (\w+)", plain.stdout)
        self.assertEqual(len(digests), 2)
        self.assertEqual(digests[0], digests[1])
        trusted = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", signed],
                                 capture_output=True, text=True)
        self.assertEqual(trusted.returncode, 0, trusted.stdout + trusted.stderr)
        self.assertIn("Signature verification: ok", trusted.stdout)
        self.assert_runs(signed, self.work / "inst-signed")

        # Rewritten headers (the DOS stub's text) and bytes after the filecheck.
        data = bytearray(installer.read_bytes())
        h = header(installer)
        self.assertLess(0x4E + 16, h["headersize"])
        data[0x4E:0x4E + 16] = b"Rewritten header"
        data += b"\0" * 7 + os.urandom(1000)
        changed = self.work / "changed.exe"
        changed.write_bytes(bytes(data))
        self.assert_runs(changed, self.work / "inst-changed")


class DamagedInstallers(ArchiveTest):
    def damaged(self, name: str, change) -> Path:
        installer = self.build("[Run]\n", name="good.exe")
        data = bytearray(installer.read_bytes())
        data = change(data, header(installer))
        out = self.work / name
        out.write_bytes(bytes(data))
        return out

    def test_one_changed_byte_anywhere_in_the_covered_stretch(self):
        def flip(offset_of):
            def change(data, h):
                data[offset_of(h)] ^= 0x01
                return data
            return change

        places = {
            "stub section": lambda h: unused_section_byte(STUB.read_bytes()),
            "header stub length": lambda h: h["at"] + 8,
            "gzip member": lambda h: (h["at"] + 20 + h["headersize"] + h["setuplen"]) // 2,
        }
        for place, offset_of in places.items():
            with self.subTest(place=place):
                box = self.fatal(self.damaged(place.replace(" ", "_") + ".exe", flip(offset_of)))
                self.assertEqual(box["text"], CORRUPT)

    def test_file_cut_inside_the_gzip_member(self):
        big = {"bin/a.txt": os.urandom(100000), "bin/b.bin": os.urandom(50000)}
        installer = self.build(product("Archive Cut"), files=big, name="full.exe")
        h = header(installer)
        chunk = filecheck_chunk()
        cut_at = h["at"] + 20 + 3000
        (self.work / "cut.exe").write_bytes(installer.read_bytes()[:cut_at])
        box = self.fatal(self.work / "cut.exe")
        whole_chunks = (cut_at - h["headersize"]) // chunk
        self.assertEqual(box["text"], f"Can't read entire filecheck: {h['setuplen'] - whole_chunks * chunk}")

    def test_lower_case_signature_line(self):
        signature = signature_of(STUB).lower()
        self.assertNotEqual(signature, signature.upper(), "the signature has letters")
        installer = self.build("[Run]\n", extra=["--unchecked", "--signature", signature])
        self.assertEqual(self.fatal(installer)["text"], "Invalid manifest signature")

    def test_record_lengths_differing_from_the_manifest(self):
        files = {"bg.bmp": b"BMP!"}
        installer = self.build("[Resources]\nBACKGROUND=bg.bmp\t99\n[Run]\n", files=files,
                               extra=["--unchecked"])
        before = temp_qz()
        text = self.fatal(installer)["text"]
        self.assertRegex(text, r"^File size does not match - file 0:C:\\users\\[^\\]+\\Temp\\qz\d+"
                               r"\\bg\.bmp 99/4$")
        self.assertEqual(temp_qz() - before, set(), "the resource's file and folder are deleted")

        # A feature file, counted after the resource record.
        name = "Archive Sizes"
        self.products.append(name)
        manifest = product(name).replace("[Variables]", "[Resources]\nBACKGROUND=bg.bmp\t4\n[Variables]")
        manifest = manifest.replace("a.txt\n", "a.txt\t5\n")
        installer = self.build(manifest, files={**FILES, **files}, name="sizes.exe", extra=["--unchecked"])
        inst = self.work / "inst"
        box = self.fatal(installer, f'"--dir={to_win(inst)}"', LICENCE)
        self.assertEqual(box["text"], "File size does not match - file 1:"
                                      f"{to_win(inst)}\\bin\\a.txt 5/{len(FILES['bin/a.txt'])}")

    def test_manifest_record_longer_than_its_stream(self):
        # A length that the member does not hold, under a valid filecheck (a
        # crafted file): a short stream, not a request for 3.75 GiB.
        def lie(data, h):
            payload = bytearray(zlib.decompress(bytes(data[h["at"] + 20:h["headersize"] + h["setuplen"]]), 31))
            payload[:4] = struct.pack("<I", 0xF0000000)
            member = gzip.compress(bytes(payload), mtime=0)
            setuplen = struct.pack("<I", h["at"] + 20 + len(member) - h["headersize"])
            data = data[:h["at"] + 12] + setuplen + data[h["at"] + 16:h["at"] + 20] + member
            return data + hashlib.md5(data[h["headersize"]:]).digest()

        self.assertEqual(self.fatal(self.damaged("lying.exe", lie))["text"], CORRUPT)

    def test_header_off_the_grid_is_no_archive(self):
        def shift(data, h):
            return data[:h["at"]] + bytearray(512) + data[h["at"]:]

        box = self.fatal(self.damaged("shifted.exe", shift))
        self.assertEqual(box["text"], "Can't find the manifest")


class LockedOutputFile(ArchiveTest):
    def run_locked(self, name: str, answer: str):
        installer = self.install(name)
        inst = self.work / ("inst-" + answer)
        (inst / "bin").mkdir(parents=True)
        target = inst / "bin" / "a.txt"
        steps = [{"do": "start", "cmdline": command_line(installer, f'"--dir={to_win(inst)}"', LICENCE)},
                 {"do": "box"},
                 {"do": "wait_window", "class": "#32770"},
                 {"do": "sleep", "ms": 1500}]
        if answer == "retry":
            steps += [{"do": "click", "id": 4}, {"do": "wait_exit"}]
        else:
            steps += [{"do": "click", "id": 2}, {"do": "box", "press": "ok"}, {"do": "wait_exit"}]
        with held_open(target, self.work) as release:
            driver = AsyncDriver(steps)
            box = driver.wait_record("box")
            if answer == "retry":
                release.touch()
            code, records = driver.finish()
        return box, code, target, [r for r in records if r.get("do") == "box"]

    def assert_retry_box(self, box, target):
        self.assertEqual(box["caption"], "Can't create file")
        self.assertEqual(box["text"], f"The file {to_win(target)} cannot be written to -\n"
                                      "close any other applications that may be using it")
        self.assertEqual([b["id"] for b in box["buttons"]], [4, 2], "Retry, Cancel")

    def test_retry_succeeds_once_the_file_is_free(self):
        box, code, target, boxes = self.run_locked("Archive Locked Retry", "retry")
        self.assert_retry_box(box, target)
        self.assertEqual(len(boxes), 1, boxes)
        self.assertEqual(code, 0)
        self.assertEqual(target.read_bytes(), FILES["bin/a.txt"])

    def test_cancel_ends_the_run(self):
        box, code, target, boxes = self.run_locked("Archive Locked Cancel", "cancel")
        self.assert_retry_box(box, target)
        self.assertEqual(len(boxes), 2, boxes)
        self.assertEqual(boxes[1]["caption"], "Fatal error")
        # Error 13: EACCES, the runtime's error number.
        self.assertEqual(boxes[1]["text"], f"Can't create file: {to_win(target)}\nError 13")
        self.assertEqual(code, 1)


class Builder(ArchiveTest):
    def test_broken_manifest_is_refused_with_file_and_line(self):
        src = self.work / "src"
        (src / "bin").mkdir(parents=True)
        (src / "bin" / "a.txt").write_bytes(b"x")
        manifest = self.work / "broken.manifest"
        manifest.write_text("[Features]\nFeature=A\nbin/\na.txt\n[Components]\nComponent=A\nB\n[Run]\n")
        out = self.work / "broken.exe"
        r = subprocess.run([MKINST, "--stub", STUB, "-o", out, manifest, src], capture_output=True, text=True)
        self.assertEqual(r.returncode, 1)
        self.assertIn(f"{manifest}:7: Feature B not in manifest\n", r.stderr)
        self.assertEqual(sorted(p.name for p in self.work.iterdir()), ["broken.manifest", "src"])

    def test_builds_are_reproducible_on_both_platforms(self):
        src = self.work / "src"
        for rel, data in {**FILES, "bg.bmp": b"BM" + bytes(1000)}.items():
            (src / rel).parent.mkdir(parents=True, exist_ok=True)
            (src / rel).write_bytes(data)
        manifest = src / "p.manifest"
        manifest.write_text("[Resources]\nBACKGROUND=bg.bmp\n" + product("Archive Same"))
        outs = []
        for name in ("one.exe", "two.exe"):
            subprocess.run([MKINST, "--stub", STUB, "--referral", "77", "-o", self.work / name, manifest, src],
                           check=True)
            outs.append((self.work / name).read_bytes())
        # The Windows build: its zlib and the CryptoAPI MD5 give the same bytes.
        code = wine([WIN_MKINST, "--stub", to_win(STUB), "--referral", "77", "-o",
                     to_win(self.work / "win.exe"), to_win(manifest), to_win(src)])
        self.assertEqual(code, 0)
        outs.append((self.work / "win.exe").read_bytes())
        self.assertEqual(outs[0], outs[1])
        self.assertEqual(outs[0], outs[2])

    def test_cryptoapi_and_host_digests_agree(self):
        for size in (0, 1, 55, 56, 64, 65, 16383, 16384, 16385, 1000003):
            data = os.urandom(size)
            path = self.work / f"data{size}.bin"
            path.write_bytes(data)
            code, out = wine_output([PROBE, "md5", to_win(path)])
            self.assertEqual(code, 0)
            self.assertEqual(out.strip(), hashlib.md5(data).hexdigest(), size)


if __name__ == "__main__":
    main()
