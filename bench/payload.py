"""The benchmark's fixed payloads, generated deterministically into a cache.

    python3 bench/payload.py CACHE NAME     prints the payload's folder

  mixed  about 200 MB in 2,000 files of mixed sizes (0.5 KB to a few MB);
         a third each of text, structured binary and random bytes, so the
         content is partly compressible
  small  about 100 MB in 20,000 files of 1 to 16 KB

and for single figures: small's files, 2,000 and 20,000 of them in one folder
(the cost by file count), and mixed-v2, mixed's version 2 with every other
file changed (the upgrade).

Each payload is a folder `files/` with a product manifest beside it, and a
tar of the same files in the manifest's order (the order of the archive's
records: the native tools compress the same bytes in the same sequence) for
the native comparison. A payload is made once: the folder holds a stamp
with the generator's version."""

import math
import random
import struct
import sys
import tarfile
from pathlib import Path

VERSION = "2"
POOL = 8 * 1024 * 1024
# How version 2 changes a file's bytes.
CHANGED = bytes(b ^ 0x5A for b in range(256))

WORDS = ("installer archive manifest feature component folder resource shortcut registry "
         "version product variable compiler assembler linker device driver setup remove "
         "repair the a of to and in is it for with on as by from that this be are").split()


def pools(rng: random.Random) -> dict[str, bytes]:
    """Three 8 MB pools of content that files take slices of."""
    random_pool = rng.randbytes(POOL)
    words = []
    size = 0
    while size < POOL:
        line = " ".join(rng.choice(WORDS) for _ in range(rng.randint(4, 14)))
        line = line.capitalize() + (".\r\n" if rng.random() < 0.8 else ";\r\n")
        words.append(line)
        size += len(line)
    text_pool = "".join(words).encode()[:POOL]
    # Tables of slowly changing little-endian numbers, as in program data.
    values = []
    v = 0
    for _ in range(POOL // 4):
        v = (v + rng.randint(-3, 40)) & 0xFFFFFFFF
        values.append(v)
    structured_pool = struct.pack(f"<{len(values)}I", *values)
    return {"text": text_pool, "structured": structured_pool, "random": random_pool}


def content(pool: bytes, offset: int, size: int) -> bytes:
    out = bytearray()
    while len(out) < size:
        piece = pool[offset:offset + size - len(out)]
        out += piece
        offset = 0
    return bytes(out)


def sizes_mixed(rng: random.Random) -> list[int]:
    raw = [math.exp(rng.uniform(math.log(512), math.log(4 * 1024 * 1024))) for _ in range(2000)]
    scale = 200e6 / sum(raw)
    return [max(1, int(s * scale)) for s in raw]


def sizes_small(rng: random.Random) -> list[int]:
    return [int(math.exp(rng.uniform(math.log(1024), math.log(16 * 1024)))) for _ in range(20000)]


PAYLOADS = {
    "mixed": (sizes_mixed, 40),   # sizes, number of folders
    "small": (sizes_small, 100),
}
# The cost by file count: small's files, 2,000 and 20,000 of them in one
# folder (20,000 across 100 folders is small itself).
COUNTS = {
    "2k-in-1": (lambda rng: sizes_small(rng)[:2000], 1),
    "20k-in-1": (sizes_small, 1),
}
# The upgrade: version 2 of mixed, the same files with every other one
# changed (the same size, other bytes).
UPGRADE = "mixed-v2"


def make(cache: Path, name: str) -> Path:
    root = cache / name
    stamp = root / "stamp"
    if stamp.exists() and stamp.read_text() == VERSION:
        return root
    import shutil
    shutil.rmtree(root, ignore_errors=True)
    files = root / "files"
    files.mkdir(parents=True)
    upgrade = name == UPGRADE
    base = "mixed" if upgrade else "small" if name in COUNTS else name
    rng = random.Random(f"meridox-bench-{base}")
    kinds = pools(rng)
    sizes_of, folders = {**PAYLOADS, **COUNTS}.get(name, PAYLOADS[base])
    sizes = sizes_of(rng)
    per_folder = math.ceil(len(sizes) / folders)
    product = "mixed" if upgrade else name
    lines = ["[Variables]", f"Product=Bench {product}", "Manufacturer=MERIDOX Software",
             f"Version={'2.0' if upgrade else '1.0'}", "[Features]", "Feature=Payload"]
    order = []  # paths under files/ in the manifest's order
    for i, size in enumerate(sizes):
        folder = f"f{i // per_folder:03d}"
        if i % per_folder == 0:
            (files / folder).mkdir()
            lines.append(folder + "/")
            order.append(folder)
        kind = ("text", "structured", "random")[i % 3]
        pool = kinds[kind]
        data = content(pool, rng.randrange(len(pool)), size)
        if upgrade and i % 2:
            data = data.translate(CHANGED)
        file_name = f"{kind}{i:05d}.dat"
        (files / folder / file_name).write_bytes(data)
        lines.append(file_name)
        order.append(f"{folder}/{file_name}")
    lines += ["[Components]", "Component=Payload", "Required=yes", "Payload", "[Run]", ""]
    (root / "product.manifest").write_text("\n".join(lines))
    with tarfile.open(root / "files.tar", "w", format=tarfile.GNU_FORMAT) as tar:
        tar.add(files, arcname="files", recursive=False)
        for rel in order:
            tar.add(files / rel, arcname=f"files/{rel}", recursive=False)
    stamp.write_text(VERSION)
    return root


if __name__ == "__main__":
    print(make(Path(sys.argv[1]), sys.argv[2]))
