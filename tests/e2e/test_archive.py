"""The installer archive, end to end: installers packed by mkinst run under
Wine, check their filecheck, read their manifest record and clean up their
temporary folder; damaged, cut, re-signed and locked cases end with the
installer's own messages, read from its boxes by the UI driver."""

import collections
import gzip
import hashlib
import json
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path
from urllib.parse import urlsplit

from winetest import (ARTIFACTS, DRIVER, LICENCE, MKINST, SOURCE_DIR, STUB, WIN_BUILD, WineTest, build_installer,
                      command_line, drive, drive_c, header, held_open, main, reg_delete, reg_delete_if_empty,
                      signature_of, temp_dir, temp_qz, to_win, wine, wine_output)

PROBE = WIN_BUILD / "filecheck_probe.exe"
WIN_MKINST = WIN_BUILD / "mkinst.exe"
CORRUPT = "Installer is corrupt or truncated"
MAKER = "MERIDOX Software"


def filecheck_chunk() -> int:
    text = (SOURCE_DIR / "wininst" / "install" / "archive_format.h").read_text()
    return int(re.search(r"kFilecheckChunk = (\d+);", text).group(1))


def mapped_sections(data: bytes) -> dict[str, range]:
    """The file ranges of a PE image that the system maps, by section name:
    each section's raw data up to its virtual size. The rest (section
    padding, the zeros up to the stub length) is covered by the filecheck but
    never run or read."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count, optional_size = struct.unpack_from("<HxxxxxxxxxxxxH", data, pe + 6)
    table = pe + 24 + optional_size
    sections = [struct.unpack_from("<8sIxxxxII", data, table + 40 * i) for i in range(count)]
    return {name.rstrip(b"\0").decode(): range(raw_at, raw_at + min(virtual, raw))
            for name, virtual, raw, raw_at in sections if raw_at}


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

    def certificate(self) -> tuple[Path, Path]:
        """A new self-signed certificate and its key, made once per test."""
        key, cert = self.work / "key.pem", self.work / "cert.pem"
        if not cert.exists():
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-keyout", key, "-out", cert,
                            "-days", "2", "-nodes", "-subj", "/CN=MERIDOX Test Signing"],
                           check=True, capture_output=True)
        return key, cert

    def sign(self, installer: Path) -> tuple[Path, Path]:
        """A copy signed with a new self-signed certificate, as code signing
        does it: the PE headers rewritten, the certificate table appended.
        Returns the copy and the certificate."""
        key, cert = self.certificate()
        signed = self.work / ("signed-" + installer.name)
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-n", "Archive test",
                        "-in", installer, "-out", signed], check=True, capture_output=True)
        return signed, cert

    def assert_runs(self, installer: Path, inst: Path, remove: bool = True):
        """A headless installation of `installer` into `inst` succeeds (and
        with `remove` is removed again: one installation of a product at a time)."""
        before = temp_qz()
        code = wine([installer, f"--dir={to_win(inst)}", LICENCE])
        self.assertEqual(code, 0)
        self.assertEqual((inst / "bin" / "a.txt").read_bytes(), FILES["bin/a.txt"])
        self.assertEqual((inst / "bin" / "b.bin").read_bytes(), FILES["bin/b.bin"])
        self.assertEqual(temp_qz() - before, set(), "the temporary folder is removed")
        if remove:
            self.assertEqual(wine([inst / "resources" / "setup.exe", "--remove-silently"]), 0)


class GoodInstallers(ArchiveTest):
    def test_checked_installer_installs_and_removes_its_temporary_folder(self):
        installer = self.install("Archive Good")
        self.assert_runs(installer, self.work / "inst", remove=False)
        # The manifest record came through: the installed manifest starts with
        # the signature of the stub's bytes at 23040 and carries the filled sizes.
        installed = (self.work / "inst" / "resources" / "manifest").read_text(encoding="latin-1")
        self.assertEqual(installed.splitlines()[0], signature_of(installer))
        # setup.exe is the stub alone, as it was built: no padding, no archive.
        self.assertEqual((self.work / "inst" / "resources" / "setup.exe").read_bytes(), STUB.read_bytes())

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
        signed, cert = self.sign(installer)
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
        # The installed copy is the stub as built: the signature's headers are undone.
        self.assert_runs(signed, self.work / "inst-signed", remove=False)
        self.assertEqual((self.work / "inst-signed" / "resources" / "setup.exe").read_bytes(), STUB.read_bytes())
        self.assertEqual(wine([self.work / "inst-signed" / "resources" / "setup.exe", "--remove-silently"]), 0)

        # Signed both ways: the stub by mkinst through a wrapper (the tool
        # cannot sign in place), then the whole installer. The installed copy
        # carries the stub's own valid signature; the installer still checks
        # itself, is found by mkinst and installs.
        key, _ = self.certificate()
        wrapper = self.work / "sign stub.sh"
        wrapper.write_text(f'#!/bin/sh\nset -e\nosslsigncode sign -certs "{cert}" -key "{key}" -n "Maintenance" '
                           '-in "$1" -out "$1.signed" >/dev/null\nmv "$1.signed" "$1"\n')
        wrapper.chmod(0o755)
        inner = self.build(product("Archive Signed"), name="inner.exe", extra=["--sign-stub", f"'{wrapper}' %1"])
        both, _ = self.sign(inner)
        listed = subprocess.run([MKINST, "--list", both], capture_output=True, text=True)
        self.assertRegex(listed.stdout, r"Stub +\d+ bytes, program \d+ bytes, signed \(certificate table \d+ bytes\)")
        self.assertEqual(subprocess.run([MKINST, "--verify", both], capture_output=True).returncode, 0)
        self.assert_runs(both, self.work / "inst-both", remove=False)
        copy = self.work / "inst-both" / "resources" / "setup.exe"
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", copy], capture_output=True, text=True)
        ARTIFACTS.mkdir(parents=True, exist_ok=True)
        (ARTIFACTS / "signed-maintenance-copy.txt").write_text(verified.stdout + verified.stderr)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        self.assertIn("Signature verification: ok", verified.stdout)
        self.assertIn("Maintenance", verified.stdout)
        self.assertEqual(wine([copy, "--remove-silently"]), 0)

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


class Campaign(ArchiveTest):
    """One real installer damaged at many places, each copy run once; one
    UI-driver script answers the fatal boxes of a whole batch of runs. The
    number of flipped bytes comes from CAMPAIGN_POSITIONS (make fuzz runs the
    full campaign), the random positions from CAMPAIGN_SEED; the figures go
    to standard error."""

    POSITIONS = int(os.environ.get("CAMPAIGN_POSITIONS", "50"))
    SEED = int(os.environ.get("CAMPAIGN_SEED", "16"))
    BATCH = 50
    # The installer's messages for a damaged or cut file.
    CORRUPTION = [re.compile(p, re.S) for p in (
        "Installer is corrupt or truncated", r"Can't read entire filecheck: \d+", r"Can't read filecheck: \d+",
        "Can't find the manifest", "Invalid manifest signature", r"File size does not match - file \d+:.* \d+/\d+")]
    # The share of the flips that each region gets. Bytes of the stub that
    # the system maps may run or be read before the filecheck is complete: a
    # flip there may stop the program before the check can (see the figures).
    SHARES = {"stub, mapped": 0.3, "stub, never mapped": 0.1, "header magic": 0.025,
              "header stub length": 0.025, "header setuplen": 0.025, "header headersize": 0.025,
              "gzip member": 0.4, "filecheck": 0.1}

    def test_damaged_copies_end_with_a_corruption_message_and_a_signed_copy_installs(self):
        rng = random.Random(self.SEED)
        name = "Archive Campaign"
        self.products.append(name)
        # Big enough that every sixteenth of the file lies past the stub.
        stub_length = max(204800, -(-STUB.stat().st_size // 1024) * 1024)
        payload = rng.randbytes(16 * stub_length)
        installer = self.build(product(name), files={**FILES, "bin/b.bin": payload}, extra=["-l", "1"])
        data, h = installer.read_bytes(), header(installer)
        at, end = h["at"], h["headersize"] + h["setuplen"]
        mapped = mapped_sections(data)

        def section(p):
            return next((name for name, r in mapped.items() if p in r), None)

        def draw(lo, hi, mapped_wanted=None):
            while True:
                p = rng.randrange(lo, hi)
                if mapped_wanted is None or (section(p) is not None) == mapped_wanted:
                    return p

        regions = {"stub, mapped": lambda: draw(h["headersize"], at, True),
                   "stub, never mapped": lambda: draw(h["headersize"], at, False),
                   "header magic": lambda: draw(at, at + 8), "header stub length": lambda: draw(at + 8, at + 12),
                   "header setuplen": lambda: draw(at + 12, at + 16),
                   "header headersize": lambda: draw(at + 16, at + 20),
                   "gzip member": lambda: draw(at + 20, end), "filecheck": lambda: draw(end, end + 16)}
        cases = [(region, pick(), rng.randrange(1, 256)) for region, pick in regions.items()
                 for _ in range(max(1, round(self.POSITIONS * self.SHARES[region])))]
        cases += [("cut", len(data) * k // 16, None) for k in range(1, 16)] + [("cut", end + 9, None)]

        # Copies in memory when the machine has a tmpfs: each is a whole installer.
        shm = Path("/dev/shm")
        copies = Path(tempfile.mkdtemp(prefix="campaign-", dir=shm if shm.is_dir() else self.work))
        outside = [drive_c(), copies]
        before = self.snapshot(outside)
        results = []
        try:
            for b in range(0, len(cases), self.BATCH):
                batch, steps = cases[b:b + self.BATCH], []
                for i, (region, offset, xor) in enumerate(batch, b):
                    copy = bytearray(data[:offset] if xor is None else data)
                    if xor is not None:
                        copy[offset] ^= xor
                    (copies / f"{i}.exe").write_bytes(copy)
                    temp = self.work / "temp" / str(i)
                    temp.mkdir(parents=True)
                    steps.append({"do": "run", "cmdline": command_line(copies / f"{i}.exe"),
                                  "env": {"TEMP": to_win(temp), "TMP": to_win(temp)}})
                run = drive(steps)
                self.assertIsNone(run.error, run)
                for i, record in enumerate(run.of("run"), b):
                    results.append(self.outcome(record, self.work / "temp" / str(i)))
                    (copies / f"{i}.exe").unlink()
            self.assertEqual(list(copies.iterdir()), [], "nothing beside the copies")
        finally:
            shutil.rmtree(copies, ignore_errors=True)
        self.assertEqual(self.snapshot(outside), before, "no file written outside the runs' temporary folders")
        self.assertEqual(sorted(p.name for p in self.work.iterdir()), ["setup.exe", "temp"])

        self.report([(f"stub {section(o)}" if r == "stub, mapped" else r, o, x) for r, o, x in cases], results)
        chunk = filecheck_chunk()
        for (region, offset, xor), (kind, text) in zip(cases, results):
            with self.subTest(region=region, offset=offset, xor=xor):
                allowed = (["message", "stopped without a box", "stopped after the message"] if region == "stub, mapped"
                           else ["message"])
                self.assertIn(kind, allowed, text)
                if region == "header magic":
                    self.assertEqual(text, "Can't find the manifest")
                elif region == "cut" and offset >= end:
                    self.assertEqual(text, f"Can't read filecheck: {offset - end}")
                elif region == "cut":
                    remaining = h["setuplen"] - (offset - h["headersize"]) // chunk * chunk
                    self.assertEqual(text, f"Can't read entire filecheck: {remaining}")

        signed, _ = self.sign(installer)
        inst = self.work / "inst"
        self.assertEqual(wine([signed, f"--dir={to_win(inst)}", LICENCE]), 0)
        self.assertEqual((inst / "bin" / "b.bin").read_bytes(), payload)

    def outcome(self, record: dict, temp: Path) -> tuple[str, str]:
        """How one run ended: "message" (one fatal box with a corruption
        message, exit code 1, its temporary folder gone), "stopped without a
        box" (the system refused the file, or damaged code ended the program
        with an exception status or a stray exit code, neither 0 nor the
        installer's own 1; at most an empty temporary folder left), "stopped
        after the message" (the same after the corruption message), or
        "other"; with the box's text or what else happened."""
        boxes, code = record.get("boxes", []), record.get("exit_code")
        left = [p.relative_to(temp).as_posix() for p in temp.rglob("*")]
        if (code == 1 and len(boxes) == 1 and boxes[0]["caption"] == "Fatal error" and not left
                and any(p.fullmatch(boxes[0]["text"] or "") for p in self.CORRUPTION)):
            return "message", boxes[0]["text"]
        empty_temp = all(re.fullmatch(r"qz\d+", p) and not any((temp / p).iterdir()) for p in left)
        if (not boxes and not record.get("timed_out") and ("start_error" in record or code not in (None, 0, 1))
                and empty_temp):
            return "stopped without a box", record.get("start_error") or f"exit code {code:#x}, left {left}"
        # The check said so, then damaged code that runs on the way out ended the program.
        if (len(boxes) == 1 and boxes[0]["caption"] == "Fatal error" and code not in (None, 0, 1) and empty_temp
                and any(p.fullmatch(boxes[0]["text"] or "") for p in self.CORRUPTION)):
            return "stopped after the message", f"{boxes[0]['text']}; exit code {code:#x}, left {left}"
        return "other", json.dumps({**record, "left": left})

    @staticmethod
    def snapshot(folders: list[Path]) -> dict:
        """Every file and folder below `folders`, with size and time of
        change, leaving out the tests' own folders."""
        skip = {drive_c() / "tests"}
        found = {}
        for top in folders:
            for folder, dirs, files in os.walk(top):
                dirs[:] = [d for d in dirs if Path(folder, d) not in skip]
                for name in dirs + files:
                    st = os.lstat(Path(folder, name))
                    found[Path(folder, name)] = (st.st_size, st.st_mtime_ns) if name in files else None
        return found

    def report(self, cases: list, results: list):
        lines = [f"campaign: seed {self.SEED}, {len(cases)} runs"]
        figures = collections.Counter(
            (region, kind, re.sub(r"\d+", "N", text) if kind == "message" else f"{text} (at {offset:#x})")
            for (region, offset, _), (kind, text) in zip(cases, results))
        for (region, kind, text), n in sorted(figures.items()):
            lines.append(f"  {n:5}  {region:20} {kind:22} {text}")
        print("\n".join(lines), file=sys.stderr)


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
        self.assertIn(f"{manifest}:7: Feature B not in manifest (the features are A)\n", r.stderr)
        self.assertEqual(sorted(p.name for p in self.work.iterdir()), ["broken.manifest", "src"])

    def test_lines_the_builder_refuses_fail_in_the_installer_when_packed_unchecked(self):
        name = "Archive Unchecked"
        self.products.append(name)
        inst = self.work / "inst"
        files = {**FILES, "bin/sub/x.txt": b"x"}
        # Packed as written: the sizes that mkinst would fill in, given.
        sized = product(name).replace("a.txt\n", f"a.txt\t{len(FILES['bin/a.txt'])}\n").replace(
            "b.bin\n", f"b.bin\t{len(FILES['bin/b.bin'])}\n")
        character = "holds a character Windows does not allow in a name"
        trimmed = "ends in a dot or a space, which Windows drops"
        cases = [  # manifest, the builder's message with its line, the installer's box
            (sized.replace("[Components]", "sub\\x.txt\t1\n[Components]"),
             "10: file sub\\x.txt: a file name can't hold a folder",
             f"Bad file name in [Features]: sub\\x.txt (sub\\x.txt {character})"),
            # Names Windows changes or reserves: refused before anything is written.
            (sized.replace("[Components]", "...\t1\n[Components]"),
             "10: file ...: ... ends in a dot", f"Bad file name in [Features]: ... (... {trimmed})"),
            (sized.replace("[Components]", "CONOUT$\t1\n[Components]"),
             "10: file CONOUT$: CONOUT$ is a device name on Windows",
             "Bad file name in [Features]: CONOUT$ (CONOUT$ is a device name on Windows)"),
            (sized.replace("[Components]", "bin/sub./\nx.txt\t1\n[Components]"),
             "10: folder bin\\sub.: sub. ends in a dot",
             f"Bad folder name in [Features]: bin\\sub. (sub. {trimmed})"),
            (sized.replace("[Run]", '[Registry]\nHKLM\\SOFTWARE\\MERIDOX Test\\Path="%InstDir%"\n[Run]'),
             "15: %InstDir% can't be stored in a [Registry] line", "Bad registry entry under [Registry]"),
        ]
        for i, (manifest, refusal, box) in enumerate(cases):
            with self.subTest(refusal):
                out = self.work / f"refused{i}.exe"
                r = build_installer(manifest, files, out, check=False)
                self.assertEqual(r.returncode, 1)
                self.assertIn("product.manifest:" + refusal, r.stderr)
                self.assertFalse(out.exists())
                build_installer(manifest, files, out, extra=["--unchecked"])
                self.assertEqual(self.fatal(out, f'"--dir={to_win(inst)}"', LICENCE)["text"], box)
                if box.startswith("Bad "):
                    self.assertFalse(inst.exists(), "nothing is written")

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

    def test_list_extract_and_verify_read_the_sample_back_on_both_platforms(self):
        sample = SOURCE_DIR / "examples" / "sample"
        files = {p.relative_to(sample / "files").as_posix(): p.read_bytes()
                 for p in (sample / "files").rglob("*") if p.is_file()}
        installer = self.work / "sample.exe"
        built = subprocess.run([MKINST, "--stub", STUB, "-o", installer, sample / "product.manifest",
                                sample / "files"], capture_output=True, text=True)
        self.assertEqual((built.returncode, built.stderr), (0, ""), "the sample packs without a warning")
        data, h = bytearray(installer.read_bytes()), header(installer)
        data[(h["at"] + 20 + h["headersize"] + h["setuplen"]) // 2] ^= 0x10
        flipped = self.work / "flipped.exe"
        flipped.write_bytes(bytes(data))

        def host(*args):
            r = subprocess.run([MKINST, *args], capture_output=True, text=True)
            return r.returncode, r.stdout + r.stderr

        def windows(*args):
            code, out = wine_output([WIN_MKINST, *[to_win(a) if isinstance(a, Path) else a for a in args]],
                                    stderr=True)
            return code, out.replace("\r\n", "\n")

        folders: dict[str, list[str]] = {}
        for rel in files:
            folder, _, name = rel.rpartition("/")
            folders.setdefault(folder, []).append(name)
        # Sorted as Windows compares names: case ignored, then the bytes.
        order = lambda name: (name.replace("/", "\\").lower(), name)
        scanned = "".join(f"{folder}/\n" + "".join(f"{name}\n" for name in sorted(names, key=order))
                          for folder, names in sorted(folders.items(), key=lambda item: order(item[0])))
        for platform, mkinst in (("host", host), ("windows", windows)):
            with self.subTest(platform):
                code, listed = mkinst("--list", installer)
                self.assertEqual(code, 0, listed)
                self.assertIn("  Product       Sample Studio\n  Version       2.1\n", listed)
                self.assertIn("  Filecheck     good\n", listed)
                for rel, content in files.items():
                    self.assertIn(f"{len(content):12}  {rel.split('/')[-1]}", listed)
                self.assertIn("Feature Documentation: Read-me and licence\n  doc\\\n", listed)

                out = self.work / f"extracted-{platform}"
                code, said = mkinst("--extract", installer, out)
                self.assertEqual(code, 0, said)
                found = {p.relative_to(out).as_posix(): p.read_bytes() for p in out.rglob("*") if p.is_file()}
                self.assertIn(b"\nsampletool.exe\t15360\n", found.pop("manifest"))
                self.assertEqual(found, files, "every file back, byte for byte")
                again = self.work / f"again-{platform}.exe"
                subprocess.run([MKINST, "--stub", STUB, "-o", again, out / "manifest", out], check=True)
                self.assertEqual(again.read_bytes(), installer.read_bytes(), "packed again, the same installer")

                self.assertEqual(mkinst("--verify", installer)[0], 0)
                # The sample's own file lines, found again.
                self.assertEqual(mkinst("--scan", sample / "files"), (0, scanned))
                code, said = mkinst("--verify", flipped)
                self.assertEqual(code, 1)
                self.assertIn("filecheck differs", said)

    def test_the_tools_example_packs_and_its_digests_are_its_installers(self):
        tools = SOURCE_DIR / "examples" / "tools"
        installer = self.work / "tools.exe"
        built = subprocess.run([MKINST, "--stub", STUB, "-o", installer, tools / "product.manifest", tools / "files"],
                               capture_output=True, text=True)
        self.assertEqual((built.returncode, built.stderr), (0, ""), "the example packs without a warning")
        self.assertEqual(subprocess.run([MKINST, "--verify", installer], capture_output=True).returncode, 0)
        # Each Installer= line's Digest= is the SHA-256 of its file: on the
        # medium (medium/), or served at the address's path (server/).
        digests, source = {}, None
        for line in (tools / "product.manifest").read_text().splitlines():
            if line.startswith("Installer="):
                source = line.removeprefix("Installer=")
            elif line.startswith("Digest="):
                digests[source] = line.removeprefix("Digest=")
        self.assertEqual(len(digests), 3, digests)
        for source, digest in digests.items():
            url = urlsplit(source)
            path = (tools / "server" / url.path.lstrip("/") if url.scheme
                    else tools / "medium" / source.replace("\\", "/"))
            self.assertEqual(hashlib.sha256(path.read_bytes()).hexdigest(), digest, source)

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
