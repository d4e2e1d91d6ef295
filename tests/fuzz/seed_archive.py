#!/usr/bin/env python3
"""Seeds the archive reader's corpus from installers that mkinst builds now,
so that the seeds follow the archive format and the builder as they are.

    seed_archive.py MKINST STUB CORPUS

Each installer is cut down to what fuzz_archive reads: the file from one grid
step below the minimum stub length on (the 1024 stub bytes before the header,
the header, the gzip member, the filecheck and any tail), with the header
moved to the minimum stub length and its covered stretch starting where the
seed starts."""

import hashlib
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

MAGIC = bytes([0xA3, 0xA2, 0xA1, 0xA0, 0x9F, 0x9E, 0x9D, 0x9C])
MIN_STUB, GRID = 204800, 1024
ROOT = Path(__file__).resolve().parents[2]

# A small product of edge cases: an empty file, a file of the default size
# without its size, files in the installation folder itself, a referral tag.
SMALL = ("[Resources]\nBACKGROUND=bg.bmp\n[Variables]\nProduct=Seed\n"
         "[Features]\nFeature=A\n/\nempty.txt\nbin/\ndefault.bin\t8192\n"
         "Feature=B\nRequires=A\ndoc/sub/\nnote.txt\n"
         "[Components]\nComponent=All\nA\nB\n[Run]\n")
SMALL_FILES = {"bg.bmp": b"BM" + bytes(60), "empty.txt": b"", "bin/default.bin": bytes(range(256)) * 32,
               "doc/sub/note.txt": b"seed\r\n"}


def seed_of(installer: bytes) -> bytes:
    at = MIN_STUB
    while installer[at:at + 8] != MAGIC:
        at += GRID
    stub, setuplen, headersize = struct.unpack_from("<III", installer, at + 8)
    end = headersize + setuplen
    member, tail = installer[at + 20:end], installer[end + 16:]
    covered = bytearray(installer[at - GRID:at])
    covered += MAGIC + struct.pack("<III", stub, GRID + 20 + len(member), MIN_STUB - GRID) + member
    return bytes(covered) + hashlib.md5(covered).digest() + tail


def main():
    mkinst, stub, corpus = sys.argv[1], sys.argv[2], Path(sys.argv[3])
    corpus.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        small = Path(tmp) / "small"
        for rel, data in SMALL_FILES.items():
            (small / rel).parent.mkdir(parents=True, exist_ok=True)
            (small / rel).write_bytes(data)
        (Path(tmp) / "small.manifest").write_text(SMALL)
        sample = ROOT / "examples" / "sample"
        builds = {
            "sample": [sample / "product.manifest", sample / "files"],
            "sample-fast": ["-l", "1", sample / "product.manifest", sample / "files"],
            "small": [Path(tmp) / "small.manifest", small],
            "small-tagged": ["-l", "0", "--referral", "4660", Path(tmp) / "small.manifest", small],
        }
        for name, args in builds.items():
            out = Path(tmp) / f"{name}.exe"
            subprocess.run([mkinst, "-q", "--stub", stub, "-o", out, *args], check=True)
            (corpus / f"installer-{name}").write_bytes(seed_of(out.read_bytes()))


if __name__ == "__main__":
    main()
