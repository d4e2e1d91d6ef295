"""The benchmark's measurements; bench/run.sh runs them inside a Wine bench.

    python3 bench/bench.py --build BUILD [--runs N] [NAME...]

Each measurement is a function registered with @measurement; with names given
only those run. Every figure is the median of several runs, taken pair by
pair against its native peer, and printed as a ratio."""

import argparse
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import payload  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
MAGIC = bytes([0xA3, 0xA2, 0xA1, 0xA0, 0x9F, 0x9E, 0x9D, 0x9C])
MEASUREMENTS = {}


def measurement(fn):
    MEASUREMENTS[fn.__name__] = fn
    return fn


class Context:
    def __init__(self, build: Path, runs: int):
        self.host = build / "host"
        self.win = build / "win"
        self.cache = build / "bench" / "cache"
        self.work = build / "bench" / "work"
        self.runs = runs
        self.work.mkdir(parents=True, exist_ok=True)

    def payload(self, name: str) -> Path:
        return payload.make(self.cache, name)

    def installer(self, name: str) -> Path:
        """The payload's installer, packed once by mkinst at level 9."""
        root = self.payload(name)
        out = root / "setup.exe"
        if not out.exists() or out.stat().st_mtime < (self.host / "mkinst").stat().st_mtime:
            mkinst(self, root, out)
        return out


def timed(args, **kwargs) -> float:
    start = time.perf_counter()
    subprocess.run([str(a) for a in args], check=True, **kwargs)
    return time.perf_counter() - start


def mkinst(ctx: Context, root: Path, out: Path) -> float:
    return timed([ctx.host / "mkinst", "--quiet", "--stub", ctx.win / "wininst.exe", "-o", out,
                  root / "product.manifest", root / "files"])


def to_win(path: Path) -> str:
    return "Z:" + str(path.resolve()).replace("/", "\\")


def header(path: Path) -> tuple[int, int]:
    """(headersize, setuplen) of an installer."""
    with open(path, "rb") as f:
        at = 204800
        while True:
            f.seek(at)
            h = f.read(20)
            if h[:8] == MAGIC:
                return int.from_bytes(h[16:20], "little"), int.from_bytes(h[12:16], "little")
            at += 1024


def report(what: str, name: str, ours: list[float], peer: list[float], ours_label: str,
           peer_label: str, ratio_text: str, ratio: float, size: int):
    mo, mp = statistics.median(ours), statistics.median(peer)
    print(f"{what:<10} {name:<6} {ours_label} {mo:7.3f} s ({size / mo / 1e6:6.1f} MB/s)   "
          f"{peer_label} {mp:7.3f} s ({size / mp / 1e6:6.1f} MB/s)   {ratio_text} {ratio:.2f}",
          flush=True)


@measurement
def packing(ctx: Context):
    """mkinst -l 9 of the payload against gzip -9 of a tar of the same files."""
    for name in payload.PAYLOADS:
        root = ctx.payload(name)
        tar = root / "files.tar"
        size = tar.stat().st_size
        ours, peer = [], []
        for _ in range(ctx.runs):
            ours.append(mkinst(ctx, root, ctx.work / "packed.exe"))
            with open(ctx.work / "packed.tar.gz", "wb") as out:
                peer.append(timed(["gzip", "-9", "-c", tar], stdout=out))
        (ctx.work / "packed.exe").replace(root / "setup.exe")
        (ctx.work / "packed.tar.gz").unlink()
        mo, mp = statistics.median(ours), statistics.median(peer)
        report("packing", name, ours, peer, "mkinst -9", "tar|gzip -9", "time mkinst/gzip", mo / mp, size)


@measurement
def filecheck(ctx: Context):
    """The stub's filecheck (its own code, in filecheck_probe.exe under Wine)
    against md5sum of the same covered bytes."""
    probe = ctx.win / "filecheck_probe.exe"
    for name in payload.PAYLOADS:
        installer = ctx.installer(name)
        headersize, setuplen = header(installer)
        stretch = ctx.work / "stretch.bin"
        with open(installer, "rb") as f, open(stretch, "wb") as out:
            f.seek(headersize)
            out.write(f.read(setuplen))
        # Both read from the page cache.
        subprocess.run(["md5sum", stretch], stdout=subprocess.DEVNULL, check=True)
        ours, peer = [], []
        times = ctx.work / "probe.txt"
        for _ in range(ctx.runs):
            # Wine's output goes to a file, never a pipe.
            with open(times, "w") as out:
                subprocess.run(["wine", probe, "time", to_win(installer), "1"], stdout=out,
                               stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, check=True)
            ours.append(float(times.read_text().split()[1]))
            peer.append(timed(["md5sum", stretch], stdout=subprocess.DEVNULL))
        stretch.unlink()
        mo, mp = statistics.median(ours), statistics.median(peer)
        report("filecheck", name, ours, peer, "stub", "md5sum", "throughput stub/md5sum", mp / mo,
               setuplen)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("names", nargs="*", choices=[[], *MEASUREMENTS], default=[])
    args = parser.parse_args()
    ctx = Context(Path(args.build).resolve(), args.runs)
    for name in args.names or MEASUREMENTS:
        MEASUREMENTS[name](ctx)


if __name__ == "__main__":
    main()
