"""The benchmark's measurements; bench/run.sh runs them inside a Wine bench.

    python3 bench/bench.py --build BUILD [--runs N] [--tmpfs DIR] [--cpu N] [NAME...]

Each measurement is a function registered with @measurement; with names given
only those run. Every figure is the median of several runs, taken pair by
pair against its peer (a native tool, the NSIS installer of the same payload,
the limit probe), and printed as a ratio; a summary compares the install and
removal ratios with the targets."""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
import nsis  # noqa: E402
import payload  # noqa: E402
from winetest import FIRST_SCAN, LICENCE, command_line, finish, header, to_the_work, to_win  # noqa: E402
from winetest import drive as drive_ui  # noqa: E402

MEASUREMENTS = {}


def measurement(fn):
    MEASUREMENTS[fn.__name__] = fn
    return fn


class Context:
    def __init__(self, build: Path, runs: int, tmpfs: Path | None):
        self.host = build / "host"
        self.win = build / "win"
        self.cache = build / "bench" / "cache"
        self.work = build / "bench" / "work"
        self.runs = runs
        self.tmpfs = tmpfs
        self.work.mkdir(parents=True, exist_ok=True)
        self.results = {}  # figures that the summary compares with the targets
        self.traces = []  # each wizard round's trace, in the order run

    def payload(self, name: str) -> Path:
        return payload.make(self.cache, name)

    def installer(self, name: str, product: str = "") -> Path:
        """The payload's installer, packed by mkinst at level 9 once for each
        build of the builder and the stub; with `product`, of another product
        (its name ends so) with the same files."""
        root = self.payload(name)
        manifest, out = root / "product.manifest", root / "setup.exe"
        if product:
            text = manifest.read_text().replace(f"Product=Bench {name}\n", f"Product=Bench {name} {product}\n", 1)
            manifest, out = root / f"{product}.manifest", root / f"setup-{product}.exe"
            if not manifest.exists() or manifest.read_text() != text:
                manifest.write_text(text)
        newest = max((self.host / "mkinst").stat().st_mtime, (self.win / "wininst.exe").stat().st_mtime,
                     manifest.stat().st_mtime)
        if not out.exists() or out.stat().st_mtime < newest:
            mkinst(self, manifest, root / "files", out)
        return out


def every_cpu():
    """For the packers' processes: every CPU, whatever the bench is pinned to."""
    os.sched_setaffinity(0, range(os.cpu_count()))


def timed(args, **kwargs) -> float:
    start = time.perf_counter()
    subprocess.run([str(a) for a in args], check=True, **kwargs)
    return time.perf_counter() - start


def mkinst(ctx: Context, manifest: Path, files: Path, out: Path) -> float:
    return timed([ctx.host / "mkinst", "--quiet", "--stub", ctx.win / "wininst.exe", "-o", out,
                  manifest, files], preexec_fn=every_cpu)


def report(what: str, name: str, mo: float, mp: float, ours_label: str,
           peer_label: str, ratio_text: str, ratio: float, size: int):
    """A line for one payload: the medians of ours (mo) and of the peer (mp)."""
    print(f"{what:<10} {name:<6} {ours_label} {mo:7.3f} s ({size / mo / 1e6:6.1f} MB/s)   "
          f"{peer_label} {mp:7.3f} s ({size / mp / 1e6:6.1f} MB/s)   {ratio_text} {ratio:.2f}",
          flush=True)


# The stub within the first place the archive is looked for.
STUB_TARGET = 1.00


@measurement
def stub(ctx: Context):
    """The stub's size against the first scan position: every installer
    carries the stub, and one past that position makes every run look for
    its archive once more."""
    size = (ctx.win / "wininst.exe").stat().st_size
    r = size / FIRST_SCAN
    ctx.results["stub size/first scan position"] = (r, STUB_TARGET)
    room = FIRST_SCAN - size
    print(f"{'stub':<10} wininst.exe {size:,} bytes   first scan position {FIRST_SCAN:,}   "
          f"{f'{room:,} bytes to spare' if room >= 0 else f'{-room:,} bytes past it'}   "
          f"size/position {verdict(r, STUB_TARGET)}", flush=True)


# mkinst -9 against pigz -9: time, and the member's size against gzip -9's.
PACKING_TIME_TARGET = 1.00
PACKING_SIZE_TARGET = 1.01


def member(installer: Path) -> bytes:
    """The installer's gzip member."""
    h = header(installer)
    with open(installer, "rb") as f:
        data = f.read(h["headersize"] + h["setuplen"])
    return data[h["stub"] + 20:]


@measurement
def packing(ctx: Context):
    """mkinst -9 of the payload against pigz -9 (on every core, as mkinst) and
    gzip -9 of a tar of the same files in the same order; every other round in
    the reverse order. The member's size against gzip -9's of the same record
    bytes (the member inflated again)."""
    for name in payload.PAYLOADS:
        root = ctx.payload(name)
        tar = root / "files.tar"
        size = tar.stat().st_size
        t = {"ours": [], "pigz": [], "gzip": []}
        packed = ctx.work / "packed.exe"
        for i in range(ctx.runs + ctx.runs % 2):
            # Each packer writes a new file: replacing the last round's would
            # charge the deletion of its 100 MB to mkinst.
            packed.unlink(missing_ok=True)
            runs = [("ours", lambda: mkinst(ctx, root / "product.manifest", root / "files", packed)),
                    ("pigz", lambda: native(ctx, ["pigz", "-9", "-c", tar])),
                    ("gzip", lambda: native(ctx, ["gzip", "-9", "-c", tar]))]
            for key, run in (reversed(runs) if i % 2 else runs):
                t[key].append(run())
        ours_member = member(packed)
        records = zlib.decompress(ours_member, wbits=31)
        (ctx.work / "records.bin").write_bytes(records)
        with open(ctx.work / "records.gz", "wb") as out:
            subprocess.run(["gzip", "-9", "-c", ctx.work / "records.bin"], check=True, stdout=out)
        gzip_size = (ctx.work / "records.gz").stat().st_size
        (ctx.work / "records.bin").unlink()
        (ctx.work / "records.gz").unlink()
        packed.replace(root / "setup.exe")
        r_pigz = pair_ratio(t["ours"], t["pigz"])
        r_gzip = pair_ratio(t["ours"], t["gzip"])
        r_size = len(ours_member) / gzip_size
        ctx.results[f"packing {name} time mkinst/pigz"] = (r_pigz, PACKING_TIME_TARGET)
        ctx.results[f"packing {name} size mkinst/gzip"] = (r_size, PACKING_SIZE_TARGET)
        mo = statistics.median(t["ours"])
        print(f"{'packing':<10} {name:<6} mkinst -9 {mo:7.3f} s ({size / mo / 1e6:6.1f} MB/s)   "
              f"pigz -9 {statistics.median(t['pigz']):7.3f} s   "
              f"tar|gzip -9 {statistics.median(t['gzip']):7.3f} s   "
              f"time mkinst/pigz {verdict(r_pigz, PACKING_TIME_TARGET)}   "
              f"mkinst/gzip {r_gzip:.2f}   "
              f"size mkinst/gzip -9 {verdict(r_size, PACKING_SIZE_TARGET)} "
              f"({len(ours_member)} / {gzip_size} bytes)")
        print(f"{'':<17} runs: {spread(t, 'ours', 'pigz', 'gzip')}", flush=True)


def native(ctx: Context, args) -> float:
    """A native packer's run on every CPU, its output into a file."""
    with open(ctx.work / "packed.gz", "wb") as out:
        elapsed = timed(args, stdout=out, preexec_fn=every_cpu)
    (ctx.work / "packed.gz").unlink()
    return elapsed


@measurement
def filecheck(ctx: Context):
    """The stub's filecheck (its own code, in filecheck_probe.exe under Wine)
    against md5sum of the same covered bytes."""
    probe = ctx.win / "filecheck_probe.exe"
    for name in payload.PAYLOADS:
        installer = ctx.installer(name)
        h = header(installer)
        stretch = ctx.work / "stretch.bin"
        with open(installer, "rb") as f, open(stretch, "wb") as out:
            f.seek(h["headersize"])
            out.write(f.read(h["setuplen"]))
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
        report("filecheck", name, mo, mp, "stub", "md5sum", "throughput stub/md5sum", mp / mo,
               h["setuplen"])
        # Throughput at least 0.90 of md5sum's in every round: time at most 1/0.90 of it.
        ctx.results[f"filecheck {name} worst round stub/md5sum time"] = (
            max(o / p for o, p in zip(ours, peer)), FILECHECK_TIME_TARGET)


# --- installations and removals: ours against NSIS and against the limit ----

# Ratio targets: ours/NSIS and ours/limit for an install, ours/NSIS for a removal.
INSTALL_TARGETS = {"mixed": (0.70, 1.05), "small": (0.75, 1.05)}
REMOVAL_TARGET = 0.5
# The filecheck's throughput against md5sum's, as a bound on the time ratio.
FILECHECK_TIME_TARGET = 1 / 0.90
# The time to the first window against md5sum of the installer and NSIS's
# fixed cost of starting at all.
FIRST_WINDOW_TARGET = 1.2
# An installation through the wizard against the same installation headless.
INTERACTIVE_TARGET = 1.15
# The disk is mounted with discard: after a mass delete, creating files is many
# times slower for about half a minute per 20,000 files deleted (measured:
# a minute and more after 40,000).
SETTLE_SECONDS = 35
SETTLE_FILES = 20000
SETTLE_MIN_SECONDS = 10
# A removal's script deletes the installed setup.exe after the program ends.
REMOVAL_BOUND = 60


class Drive:
    """Where the installations go: a drive letter mapped to a tmpfs folder, or
    a folder on the prefix's C: drive (ext4, with a pause after deletions)."""

    def __init__(self, ctx: Context):
        prefix = Path(os.environ["WINEPREFIX"])
        if ctx.tmpfs:
            link = prefix / "dosdevices" / "t:"
            if link.is_symlink() or link.exists():
                link.unlink()
            link.symlink_to(ctx.tmpfs.resolve())
            self.unix, self.win, self.settle = ctx.tmpfs, "T:", 0
            self.text = f"T: = tmpfs {ctx.tmpfs}"
        else:
            self.unix = prefix / "drive_c" / "bench"
            self.unix.mkdir(exist_ok=True)
            self.win, self.settle = "C:\\bench", SETTLE_SECONDS
            self.text = (f"C:\\bench on the disk, a pause of {SETTLE_SECONDS} s per {SETTLE_FILES} "
                         f"files deleted (at least {SETTLE_MIN_SECONDS} s) after each deletion")

    def folder(self, name: str) -> tuple[Path, str]:
        return self.unix / name, f"{self.win}\\{name}"

    def pause(self, files_deleted: int):
        if self.settle:
            time.sleep(max(SETTLE_MIN_SECONDS, self.settle * files_deleted / SETTLE_FILES))


class DesktopHeld:
    """Keeps the prefix's desktop open: Wine ends its desktop process a second
    after the last window program has gone and starts it again for the next,
    which would charge ~0.15 s to whichever installer runs first after a
    pause. The holder ends when its standard input closes."""

    def __init__(self, ctx: Context):
        self.program = ctx.win / "desktop_hold.exe"

    def __enter__(self):
        self.holder = subprocess.Popen(["wine", str(self.program)], stdin=subprocess.PIPE,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(2)
        if self.holder.poll() is not None:
            raise SystemExit(f"bench: {self.program.name} ended with {self.holder.returncode}")
        return self

    def __exit__(self, *exc):
        self.holder.stdin.close()
        try:
            self.holder.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.holder.kill()
            self.holder.wait()


def wine_run(ctx: Context, args, timeout: float = 600) -> float:
    """Seconds of one Wine program run, its output into a file: a pipe would
    keep Wine's desktop process on it for a second after the program ends.
    The wait blocks until the program ends (a timer kills it after `timeout`):
    a wait with a timeout of its own polls every 50 ms, which rounded every
    run up to the next poll."""
    log = ctx.work / "wine.out"
    with open(log, "w") as out:
        start = time.perf_counter()
        program = subprocess.Popen(["wine", *map(str, args)], stdout=out, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL)
        watchdog = threading.Timer(timeout, program.kill)
        watchdog.start()
        code = program.wait()
        elapsed = time.perf_counter() - start
        watchdog.cancel()
    if code != 0:
        raise SystemExit(f"bench: {args} ended with {code}: {log.read_text()[:500]}")
    return elapsed


def write_back() -> tuple[int, int]:
    """The page cache's dirty and write-back megabytes: what the disk still
    has to take when a run begins or ends."""
    fields = {}
    for line in Path("/proc/meminfo").read_text().splitlines():
        name, value = line.split(":", 1)
        fields[name] = int(value.split()[0]) // 1024
    return fields.get("Dirty", 0), fields.get("Writeback", 0)


def install_interactive(ctx: Context, installer: Path, win: str) -> float:
    """Our installation through the wizard, the UI driver pressing each page's
    button as soon as it is there: seconds from the program's start to its
    end, as the driver saw them (its own start-up is not counted). The
    round's trace (how long each page took, the disk's write-back before and
    after) goes to ctx.traces."""
    before = write_back()
    load = os.getloadavg()[0]
    run = drive_ui([{"do": "start", "cmdline": command_line(installer, f"--dir={win}")}, *to_the_work(), *finish()],
                timeout_ms=600000)
    if run.error or run.exit_code != 0:
        raise SystemExit(f"bench: the interactive installation failed: {run}")
    at = [r["at_ms"] for r in run.records if "at_ms" in r]
    start, frame = run.of("start")[0]["at_ms"], run.of("wait_window")[0]["at_ms"]
    clicks = [c["at_ms"] for c in run.of("click")]
    finish_on = [w["at_ms"] for w in run.of("wait_control") if w.get("control", {}).get("text") == "Finish"]
    end = run.of("wait_exit")[-1]["at_ms"]
    work_from = clicks[1] if len(clicks) > 1 else frame
    work_to = finish_on[0] if finish_on else at[-1]
    ctx.traces.append({"window": (frame - start) / 1000, "welcome and folder pages": (work_from - frame) / 1000,
                       "progress page": (work_to - work_from) / 1000, "finish": (end - work_to) / 1000,
                       "dirty/writeback MB before": before, "after": write_back(), "load": round(load, 2)})
    return (end - start) / 1000


def remove_ours(ctx: Context, unix: Path, win: str) -> float:
    """Our silent removal, up to the moment its script has taken the folder."""
    start = time.perf_counter()
    wine_run(ctx, [f"{win}\\resources\\setup.exe", "--remove-silently"])
    while unix.exists():
        if time.perf_counter() - start > REMOVAL_BOUND:
            raise SystemExit(f"bench: {unix} still there {REMOVAL_BOUND} s after the removal")
        time.sleep(0.002)
    return time.perf_counter() - start


def remove_nsis(ctx: Context, unix: Path, win: str) -> float:
    """NSIS's uninstaller in place (_?=), which makes the call wait for it; it
    cannot delete itself there, so its own file and folder stay behind."""
    elapsed = wine_run(ctx, [f"{win}\\uninst.exe", "/S", f"_?={win}"])
    left = sorted(p.name for p in unix.iterdir())
    if left != ["uninst.exe"]:
        raise SystemExit(f"bench: the NSIS uninstaller left {left[:5]} in {unix}")
    shutil.rmtree(unix)
    return elapsed


def same_files(expected: Path, installed: Path, extra: set[str]) -> None:
    """The installed tree holds the payload's files byte for byte, and beside
    them only the installer's own `extra` entries."""
    want = {p.relative_to(expected) for p in expected.rglob("*") if p.is_file()}
    got = {p.relative_to(installed) for p in installed.rglob("*") if p.is_file()}
    strays = {str(p) for p in got - want if p.parts[0] not in extra}
    if want - got or strays:
        raise SystemExit(f"bench: {installed}: missing {sorted(want - got)[:3]}, extra {sorted(strays)[:3]}")
    for rel in want:
        if (expected / rel).read_bytes() != (installed / rel).read_bytes():
            raise SystemExit(f"bench: {installed / rel} differs from the payload")


def uninstall_keys(ctx: Context) -> list[str]:
    log = ctx.work / "reg.out"
    with open(log, "w") as out:
        subprocess.run(["wine", "reg", "query", "HKLM\\" + nsis.UNINSTALL_KEY], stdout=out,
                       stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    return [line.strip() for line in log.read_text(errors="replace").splitlines() if "Bench" in line]


def installation_rounds(ctx: Context) -> dict:
    """Round by round for each payload: our install, NSIS's, the limit probe's,
    each into a fresh folder; then our removal and NSIS's of those (every
    other round in the reverse order). The first round also checks what was
    installed and what the removals left."""
    if "rounds" in ctx.results:
        return ctx.results["rounds"]
    drive = Drive(ctx)
    print(f"install/removal: every run into a fresh folder on {drive.text}; desktop held open; "
          f"load average {os.getloadavg()[0]:.2f}", flush=True)
    with DesktopHeld(ctx):
        rounds = {name: payload_rounds(ctx, drive, name) for name in payload.PAYLOADS}
    ctx.results["rounds"] = rounds
    return rounds


def warm(*files: Path):
    """Reads the installers, so that every run takes them from the page cache
    (this machine pages idle cache out during a long pause)."""
    for f in files:
        with open(f, "rb") as inp:
            while inp.read(1 << 24):
                pass


def payload_rounds(ctx: Context, drive: Drive, name: str) -> dict:
    """The runs of one payload: lists of seconds by contestant. Our wizard
    runs right beside our headless install, so that both meet the same disk
    and the same caches."""
    root = ctx.payload(name)
    ours, theirs = ctx.installer(name), nsis.installer(root, name)
    # The wizard's product is another, so that it meets no earlier installation.
    wizard = ctx.installer(name, "wizard")
    warm(ours, wizard, theirs)
    count = sum(1 for p in (root / "files").rglob("*") if p.is_file())
    t = {k: [] for k in ("ours", "nsis", "limit", "ours_rm", "nsis_rm", "ours_ui", "ui_trace")}
    # Whoever runs first after a pause may still meet a slow disk: every
    # other round runs in the reverse order, and the count is even.
    for i in range(ctx.runs + ctx.runs % 2):
        o_unix, o_win = drive.folder(f"ours-{name}-{i}")
        n_unix, n_win = drive.folder(f"nsis-{name}-{i}")
        l_unix, l_win = drive.folder(f"limit-{name}-{i}")
        u_unix, u_win = drive.folder(f"ui-{name}-{i}")
        installs = [("ours", lambda: wine_run(ctx, [ours, f"--dir={o_win}", LICENCE])),
                    ("ours_ui", lambda: install_interactive(ctx, wizard, u_win)),
                    ("nsis", lambda: wine_run(ctx, [theirs, "/S", f"/D={n_win}"])),
                    ("limit", lambda: wine_run(ctx, [ctx.win / "limit_probe.exe", ours, l_win]))]
        removals = [("ours_rm", lambda: remove_ours(ctx, o_unix, o_win)),
                    ("nsis_rm", lambda: remove_nsis(ctx, n_unix, n_win))]
        if i % 2:
            installs.reverse()
            removals.reverse()
        for key, run in installs:
            t[key].append(run())
        t["ui_trace"].append(ctx.traces[-1])
        if i == 0:
            files = root / "files"
            same_files(files, o_unix, {"resources"})
            same_files(files, u_unix, {"resources"})
            same_files(files, n_unix, {"uninst.exe"})
            same_files(files, l_unix, set())
        (first, remove_first), (second, remove_second) = removals
        t[first].append(remove_first())
        drive.pause(count)
        t[second].append(remove_second())
        remove_ours(ctx, u_unix, u_win)
        shutil.rmtree(l_unix)
        if i == 0 and uninstall_keys(ctx):
            raise SystemExit(f"bench: uninstall entries left: {uninstall_keys(ctx)}")
        drive.pause(3 * count)
        warm(ours, wizard, theirs)
    return t


def pair_ratio(ours: list[float], peer: list[float]) -> float:
    """The median of the round-by-round ratios."""
    return statistics.median(o / p for o, p in zip(ours, peer))


def spread(t: dict, *keys: str) -> str:
    return "   ".join(f"{k} " + " ".join(f"{x:.2f}" for x in t[k]) for k in keys)


def verdict(ratio: float, target: float) -> str:
    return f"{ratio:.2f} ({'met' if ratio <= target else 'MISSED'}: <= {target:.2f})"


@measurement
def install(ctx: Context):
    """Our headless install against NSIS's silent install and against the
    limit probe (filecheck, then inflate the same records to the same files)."""
    for name, t in installation_rounds(ctx).items():
        to_nsis, to_limit = INSTALL_TARGETS[name]
        r_nsis, r_limit = pair_ratio(t["ours"], t["nsis"]), pair_ratio(t["ours"], t["limit"])
        ctx.results[f"install {name} ours/NSIS"] = (r_nsis, to_nsis)
        ctx.results[f"install {name} ours/limit"] = (r_limit, to_limit)
        print(f"{'install':<10} {name:<6} ours {statistics.median(t['ours']):7.3f} s   "
              f"NSIS {statistics.median(t['nsis']):7.3f} s   "
              f"limit {statistics.median(t['limit']):7.3f} s   "
              f"ours/NSIS {verdict(r_nsis, to_nsis)}   ours/limit {verdict(r_limit, to_limit)}")
        print(f"{'':<17} runs: {spread(t, 'ours', 'nsis', 'limit')}", flush=True)


def pairwise(ctx: Context, row: str, ours: tuple[str, str], peer: tuple[str, str], target: float):
    """A line a payload: the medians of two kinds of runs (key, label) and
    their pairwise ratio against the target."""
    for name, t in installation_rounds(ctx).items():
        (o, o_label), (p, p_label) = ours, peer
        r = pair_ratio(t[o], t[p])
        ctx.results[f"{row} {name} {o_label}/{p_label}"] = (r, target)
        print(f"{row:<10} {name:<6} {o_label} {statistics.median(t[o]):7.3f} s   "
              f"{p_label} {statistics.median(t[p]):7.3f} s   {o_label}/{p_label} {verdict(r, target)}")
        print(f"{'':<17} runs: {spread(t, o, p)}", flush=True)


@measurement
def first_window(ctx: Context):
    """From our installer's start to its frame on the screen (the filecheck of
    the whole file lies on the way), against md5sum of the file plus the
    whole run of an NSIS installer of a single small file: what a user waits
    for at the least."""
    installer = ctx.installer("mixed")
    tiny = ctx.work / "nsis-tiny"
    (tiny / "files" / "f000").mkdir(parents=True, exist_ok=True)
    (tiny / "files" / "f000" / "one.txt").write_text("one\n")
    nsis_tiny = nsis.installer(tiny, "tiny")
    drive = Drive(ctx)
    ours, md5, start = [], [], []
    with DesktopHeld(ctx):
        for i in range(ctx.runs):
            warm(installer)
            run = drive_ui([{"do": "start", "cmdline": command_line(installer, f"--dir={drive.folder('unused')[1]}")},
                            {"do": "wait_window", "class": "MERIDOX Installer", "timeout_ms": 60000},
                            {"do": "click", "id": 2}, {"do": "box", "press": "yes"}, {"do": "wait_exit"}])
            if run.error:
                raise SystemExit(f"bench: the installer's window did not come: {run}")
            ours.append((run.of("wait_window")[0]["at_ms"] - run.of("start")[0]["at_ms"]) / 1000)
            md5.append(timed(["md5sum", installer], stdout=subprocess.DEVNULL))
            unix, win = drive.folder(f"nsis-tiny-{i}")
            start.append(wine_run(ctx, [nsis_tiny, "/S", f"/D={win}"]))
            remove_nsis(ctx, unix, win)
    r = statistics.median(o / (m + s) for o, m, s in zip(ours, md5, start))
    ctx.results["first window mixed ours/(md5sum+NSIS start)"] = (r, FIRST_WINDOW_TARGET)
    print(f"{'window':<10} mixed  ours {statistics.median(ours):7.3f} s   md5sum {statistics.median(md5):7.3f} s   "
          f"NSIS start {statistics.median(start):7.3f} s   ours/(md5sum+start) {verdict(r, FIRST_WINDOW_TARGET)}",
          flush=True)


@measurement
def interactive(ctx: Context):
    """Our installation through the wizard against our headless one, and
    which rounds are out of line: each of those (or else the slowest) with
    its trace, so that a slow round is explained, not averaged away."""
    pairwise(ctx, "install", ("ours_ui", "wizard"), ("ours", "headless"), INTERACTIVE_TARGET)
    for name, t in installation_rounds(ctx).items():
        ratios = [u / h for u, h in zip(t["ours_ui"], t["ours"])]
        out = [i for i, r in enumerate(ratios) if r > INTERACTIVE_TARGET]
        shown = out or [max(range(len(ratios)), key=ratios.__getitem__)]
        print(f"{'':<17} rounds out of line: {', '.join(map(str, out)) or 'none'}")
        for i in shown:
            trace = ", ".join(f"{k} {v:.2f} s" if isinstance(v, float) else f"{k} {v}"
                              for k, v in t["ui_trace"][i].items())
            print(f"{'':<17} round {i}: wizard {t['ours_ui'][i]:.2f} s / headless {t['ours'][i]:.2f} s = "
                  f"{ratios[i]:.2f}: {trace}", flush=True)


@measurement
def removal(ctx: Context):
    """Our silent removal (until its script has taken the folder) against
    NSIS's uninstaller run in place."""
    pairwise(ctx, "removal", ("ours_rm", "ours"), ("nsis_rm", "NSIS"), REMOVAL_TARGET)


def forget(product: str, version: str):
    """Takes a bench product's registration away, as if never installed."""
    for key in (f"HKLM\\SOFTWARE\\MERIDOX Software\\Bench {product}\\{version}",
                f"HKLM\\{nsis.UNINSTALL_KEY}\\Bench {product} {version}PL0"):
        subprocess.run(["wine", "reg", "delete", key, "/f"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       stdin=subprocess.DEVNULL)


def rounds_of(ctx: Context, most: int) -> int:
    """An even number of rounds, at most `most`."""
    n = min(ctx.runs, most)
    return n + n % 2


# Version 2 over version 1 against NSIS overwriting the same files.
UPGRADE_TARGET = 0.8


@measurement
def upgrade(ctx: Context):
    """Version 2 of mixed (every other file changed) installed over version 1
    in its folder: ours, which keeps every file it replaces until the new
    version is complete, against NSIS overwriting them. Only the second
    installation is timed."""
    drive = Drive(ctx)
    root1, root2 = ctx.payload("mixed"), ctx.payload(payload.UPGRADE)
    ours1, ours2 = ctx.installer("mixed"), ctx.installer(payload.UPGRADE)
    nsis1, nsis2 = nsis.installer(root1, "mixed"), nsis.installer(root2, payload.UPGRADE)
    count = sum(1 for p in (root2 / "files").rglob("*") if p.is_file())
    t = {"ours": [], "nsis": []}
    with DesktopHeld(ctx):
        for i in range(rounds_of(ctx, ctx.runs)):
            o_unix, o_win = drive.folder(f"upgrade-ours-{i}")
            n_unix, n_win = drive.folder(f"upgrade-nsis-{i}")
            wine_run(ctx, [ours1, f"--dir={o_win}", LICENCE])
            wine_run(ctx, [nsis1, "/S", f"/D={n_win}"])
            drive.pause(count)
            warm(ours2, nsis2)
            runs = [("ours", lambda: wine_run(ctx, [ours2, f"--dir={o_win}", LICENCE])),
                    ("nsis", lambda: wine_run(ctx, [nsis2, "/S", f"/D={n_win}"]))]
            for key, run in (reversed(runs) if i % 2 else runs):
                t[key].append(run())
            if i == 0:
                same_files(root2 / "files", o_unix, {"resources"})
                same_files(root2 / "files", n_unix, {"uninst.exe"})
            shutil.rmtree(o_unix)
            shutil.rmtree(n_unix)
            forget("mixed", "1.0")
            forget("mixed", "2.0")
            for name in ("mixed", payload.UPGRADE):
                subprocess.run(["wine", "reg", "delete", f"HKLM\\{nsis.key(name)}", "/f"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
            drive.pause(4 * count)
    r = pair_ratio(t["ours"], t["nsis"])
    ctx.results["upgrade mixed v2 over v1 ours/NSIS"] = (r, UPGRADE_TARGET)
    print(f"{'upgrade':<10} mixed  ours {statistics.median(t['ours']):7.3f} s   NSIS {statistics.median(t['nsis']):7.3f} s"
          f"   ours/NSIS {verdict(r, UPGRADE_TARGET)}")
    print(f"{'':<17} runs: {spread(t, 'ours', 'nsis')}", flush=True)


# Ours against the limit probe, whatever the number of files.
FILE_COUNT_TARGET = 1.05


@measurement
def file_count(ctx: Context):
    """Ours against the limit probe for 2,000 and 20,000 small files in one
    folder and 20,000 across 100 folders (small): a cost of ours that grows
    with the number of files shows as a ratio that grows. At most four
    rounds: a folder of 20,000 files takes a minute under Wine on a disk."""
    drive = Drive(ctx)
    with DesktopHeld(ctx):
        for name in [*payload.COUNTS, "small"]:
            ours = ctx.installer(name)
            count = sum(1 for p in (ctx.payload(name) / "files").rglob("*") if p.is_file())
            t = {"ours": [], "limit": []}
            for i in range(rounds_of(ctx, 4)):
                o_unix, o_win = drive.folder(f"count-ours-{name}-{i}")
                l_unix, l_win = drive.folder(f"count-limit-{name}-{i}")
                warm(ours)
                runs = [("ours", lambda: wine_run(ctx, [ours, f"--dir={o_win}", LICENCE])),
                        ("limit", lambda: wine_run(ctx, [ctx.win / "limit_probe.exe", ours, l_win]))]
                for key, run in (reversed(runs) if i % 2 else runs):
                    t[key].append(run())
                shutil.rmtree(o_unix)
                shutil.rmtree(l_unix)
                forget(name, "1.0")
                drive.pause(2 * count)
            r = pair_ratio(t["ours"], t["limit"])
            ctx.results[f"files {count} {name} ours/limit"] = (r, FILE_COUNT_TARGET)
            print(f"{'files':<10} {name:<8} {count:6} ours {statistics.median(t['ours']):7.3f} s   "
                  f"limit {statistics.median(t['limit']):7.3f} s   ours/limit {verdict(r, FILE_COUNT_TARGET)}")
            print(f"{'':<17} runs: {spread(t, 'ours', 'limit')}", flush=True)


def summary(ctx: Context):
    figures = [(k, v) for k, v in ctx.results.items() if isinstance(v, tuple)]
    if not figures:
        return
    print(f"targets (median of pairwise ratios, {ctx.runs + ctx.runs % 2} rounds; "
          f"load average now {os.getloadavg()[0]:.2f}):")
    for what, (ratio, target) in figures:
        print(f"  {what:<28} {verdict(ratio, target)}")


def pin(cpu: int):
    """Every Wine request is a round trip between the program and the
    wineserver. On this virtual machine, waking the other, idle CPU for it
    costs far more than a switch on the same CPU, and how much depends on
    whether other work keeps that CPU busy: many-file installs ran twice as
    fast beside a busy loop. One CPU for both sides takes that out."""
    server = Path(os.environ["WINEBENCH_DIR"]) / "wineserver.pid"
    os.sched_setaffinity(int(server.read_text()), {cpu})
    os.sched_setaffinity(0, {cpu})  # the programs that the bench starts inherit it
    print(f"bench: the wineserver and every program on CPU {cpu}", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--tmpfs", type=Path, default=None,
                        help="an empty folder on a tmpfs for the installations (else the prefix's C:)")
    parser.add_argument("--cpu", type=int, default=None,
                        help="run the wineserver and every program on this CPU alone")
    parser.add_argument("names", nargs="*", choices=[[], *MEASUREMENTS], default=[])
    args = parser.parse_args()
    if args.cpu is not None:
        pin(args.cpu)
    ctx = Context(Path(args.build).resolve(), args.runs, args.tmpfs)
    for name in args.names or MEASUREMENTS:
        MEASUREMENTS[name](ctx)
    summary(ctx)


if __name__ == "__main__":
    main()
