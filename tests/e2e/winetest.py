"""What the end-to-end tests share: running Windows programs in the test
bench's Wine prefix, the UI driver, the registry seen from outside, paths on
both sides, and installers built by mkinst.

The bench (tests/winebench/winebench.sh) exports WINEPREFIX, DISPLAY and the
build folders before a test starts."""

import contextlib
import signal
import getpass
import json
import os
import re
import shutil
import struct
import subprocess
import tempfile
import time
import unittest
from pathlib import Path, PureWindowsPath

SOURCE_DIR = Path(os.environ.get("SOURCE_DIR", Path(__file__).resolve().parents[2]))
WIN_BUILD = Path(os.environ.get("WIN_BUILD_DIR", SOURCE_DIR / "build" / "win"))
HOST_BUILD = Path(os.environ.get("HOST_BUILD_DIR", SOURCE_DIR / "build" / "host"))
ARTIFACTS = Path(os.environ.get("ARTIFACTS", HOST_BUILD / "artifacts"))
WINEPREFIX = Path(os.environ.get("WINEPREFIX", "/nonexistent"))

STUB = WIN_BUILD / "wininst.exe"
DRIVER = WIN_BUILD / "driver.exe"
MKINST = HOST_BUILD / "mkinst"

FRAME_CLASS = "MERIDOX Installer"
# The first bytes of the archive header.
MAGIC = bytes([0xA3, 0xA2, 0xA1, 0xA0, 0x9F, 0x9E, 0x9D, 0x9C])
# Where the search for the archive header begins: the archive format's
# minimum stub length, then every 1024 bytes after it.
FIRST_SCAN = int(re.search(r"kMinStubLength = (\d+);",
                           (SOURCE_DIR / "wininst" / "install" / "archive_format.h").read_text())[1])
# The licence option as one argument; command_line() and wine() quote it.
LICENCE = "--I agree to the terms of the licence"


# --- paths -------------------------------------------------------------------

def drive_c() -> Path:
    return WINEPREFIX / "drive_c"


def to_win(path) -> str:
    """The Windows name of a Linux path: C:\\... inside drive_c, else Z:\\..."""
    p = Path(path).resolve() if not isinstance(path, str) or not path.startswith("/") else Path(path)
    try:
        rel = p.relative_to(drive_c())
        return "C:\\" + str(rel).replace("/", "\\") if str(rel) != "." else "C:\\"
    except ValueError:
        return "Z:" + str(p).replace("/", "\\")


def to_unix(winpath: str) -> Path:
    """The Linux path of a Windows path on drive C: or Z:."""
    w = PureWindowsPath(winpath)
    drive = w.drive.upper()
    parts = w.parts[1:]
    if drive == "C:":
        return drive_c().joinpath(*parts)
    if drive == "Z:":
        return Path("/").joinpath(*parts)
    raise ValueError(f"no Linux path for {winpath}")


def user_dir() -> Path:
    """The Wine user's profile: Wine names it after the Linux user."""
    own = drive_c() / "users" / getpass.getuser()
    if own.is_dir():
        return own
    users = [p for p in (drive_c() / "users").iterdir()
             if p.is_dir() and p.name != "Public" and (p / "Temp").is_dir()]
    return users[0]


def temp_dir() -> Path:
    """TEMP as the installer sees it."""
    return user_dir() / "Temp"


def temp_qz(folders_only: bool = False) -> set[str]:
    """The names in TEMP that begin with the installer's prefix qz: its
    temporary folders (qz<n>), among them the one of a removal script. With
    `folders_only`, the folders alone."""
    return {p.name for p in temp_dir().glob("qz*") if p.is_dir() or not folders_only}


def journals() -> list[Path]:
    """The journals that runs of products keep while they change the machine
    (one file a product, where only administrators may write)."""
    folder = drive_c() / "Program Files" / "Common Files" / "MERIDOX Installer"
    return sorted(folder.glob("*.journal")) if folder.exists() else []


def start_menu_programs() -> Path:
    return user_dir() / "AppData" / "Roaming" / "Microsoft" / "Windows" / "Start Menu" / "Programs"


# --- running programs ----------------------------------------------------------

def wine(args, timeout=120, env=None, preexec_fn=None) -> int:
    """Runs a Windows program and returns its exit code (8 bits); `env` is
    added to the environment, `preexec_fn` runs in the child before Wine.

    Output goes to a file, never a pipe: a pipe would keep Wine's desktop
    process attached to it for a second after the program ends."""
    e = dict(os.environ)
    if env:
        e.update(env)
    with tempfile.TemporaryFile() as out:
        r = subprocess.run(["wine", *[str(a) for a in args]], stdout=out, stderr=subprocess.STDOUT,
                           stdin=subprocess.DEVNULL, timeout=timeout, env=e, preexec_fn=preexec_fn)
    return r.returncode


def wine_output(args, timeout=120, stderr=False) -> tuple[int, str]:
    """A program's exit code and standard output (with its standard error after `stderr`)."""
    with tempfile.TemporaryFile() as out:
        r = subprocess.run(["wine", *[str(a) for a in args]], stdout=out,
                           stderr=subprocess.STDOUT if stderr else subprocess.DEVNULL,
                           stdin=subprocess.DEVNULL, timeout=timeout)
        out.seek(0)
        return r.returncode, out.read().decode("latin-1")


class DriverRun:
    """What one run of the UI driver recorded."""

    def __init__(self, exit_code: int, records: list[dict]):
        self.exit_code = exit_code
        self.records = records

    def of(self, kind: str) -> list[dict]:
        return [r for r in self.records if r.get("do") == kind]

    @property
    def boxes(self) -> list[dict]:
        return self.of("box")

    @property
    def windows_seen(self) -> list[dict]:
        return self.of("seen_window")

    @property
    def error(self):
        errs = [r["error"] for r in self.records if "error" in r]
        return errs[0] if errs else None

    def controls(self, index: int = -1) -> dict[int, dict]:
        """The controls of the index-th `controls` step, by control ID."""
        return {c["id"]: c for c in self.control_list(index)}

    def control_list(self, index: int = -1) -> list[dict]:
        """The same as a list: controls without an ID (0) each have their place."""
        return self.of("controls")[index]["controls"]

    def __repr__(self):
        return f"DriverRun(exit={self.exit_code}, records={json.dumps(self.records, indent=1)})"


def drive(steps: list[dict], timeout_ms: int = 20000, env=None, preexec_fn=None) -> DriverRun:
    """Runs the UI driver over a script of steps (see tests/driver/driver.cpp);
    the programs it starts inherit `env` and `preexec_fn` as wine() gives them."""
    scripts = drive_c() / "tests" / "driver-scripts"
    scripts.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=scripts) as d:
        script = Path(d) / "script.json"
        out = Path(d) / "out.jsonl"
        script.write_text(json.dumps({"timeout_ms": timeout_ms, "steps": steps}), encoding="latin-1")
        code = wine([DRIVER, to_win(script), to_win(out)], timeout=180, env=env, preexec_fn=preexec_fn)
        records = []
        if out.exists():
            for line in out.read_text(encoding="latin-1").splitlines():
                if line.strip():
                    records.append(json.loads(line))
        return DriverRun(code, records)


def past_the_folder_page() -> list[dict]:
    """UI driver steps that take the folder and components page as it is."""
    return [{"do": "wait_control", "id": 201, "visible": True, "timeout_ms": 30000},
            {"do": "click", "id": 101}]


def to_the_work() -> list[dict]:
    """UI driver steps from the start of a fresh interactive installation to
    the start of its work: through every page before the progress page."""
    return [{"do": "wait_window", "class": FRAME_CLASS, "timeout_ms": 30000},
            {"do": "wait_control", "id": 101, "enabled": True}, {"do": "click", "id": 101},
            *past_the_folder_page()]


def finish(*on_the_page: dict, boxes: int = 0) -> list[dict]:
    """UI driver steps from the end of an interactive run's work to the end
    of the run, exit code included: on the completion page the steps
    `on_the_page`, then Finish, then OK to as many `boxes` as follow."""
    return [{"do": "wait_control", "id": 101, "text": "Finish", "enabled": True, "timeout_ms": 60000},
            *on_the_page, {"do": "click", "id": 101}, *[{"do": "box", "press": "ok"}] * boxes,
            {"do": "wait_exit", "timeout_ms": 60000}]


def look_at_box(shot: Path, press: int) -> list[dict]:
    """UI driver steps that wait for the next message box, take a
    screenshot of the screen with it to `shot`, then press the button of
    that ID (IDOK 1, IDYES 6, IDNO 7): the box step records, the window step
    makes the box the one clicked."""
    return [{"do": "box", "timeout_ms": 30000}, {"do": "screenshot", "path": to_win(shot)},
            {"do": "wait_window", "class": "#32770"}, {"do": "click", "id": press}]


def command_line(program, *args: str) -> str:
    """A raw command line: the program quoted, each argument as given, or in
    double quotes when it holds white space and no quote of its own."""
    def arg(a: str) -> str:
        return f'"{a}"' if any(c in a for c in " \t") and '"' not in a and "'" not in a else a
    return " ".join([f'"{to_win(program)}"', *map(arg, args)])


def restart_wineserver(kill: bool):
    """A power cut (`kill`: what the registry had not saved is lost) or a
    clean stop that saves it; then the bench's server again."""
    pidfile = os.path.join(os.environ["WINEBENCH_DIR"], "wineserver.pid")
    with open(pidfile) as f:
        pid = int(f.read())
    if kill:
        with contextlib.suppress(ProcessLookupError):  # gone already: the cut has come
            os.kill(pid, signal.SIGKILL)
    else:
        subprocess.run(["wineserver", "-k"], timeout=60)
    for _ in range(100):
        try:
            os.kill(pid, 0)
            time.sleep(0.1)
        except ProcessLookupError:
            break
    subprocess.run(["pkill", "-9", "-f", str(WINEPREFIX)], check=False)
    with open(os.path.join(os.environ["WINEBENCH_DIR"], "wineserver.log"), "ab") as log:
        server = subprocess.Popen(["wineserver", "-f", "-p"], stdout=log, stderr=log, stdin=subprocess.DEVNULL)
    with open(pidfile, "w") as f:
        f.write(str(server.pid))
    subprocess.run(["wine", "cmd", "/c", "exit", "0"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=120)


def session_programs(matching=lambda cmdline: True) -> list[int]:
    """The process IDs of the bench's Windows programs (never this test or
    the processes above it) whose command line `matching` accepts."""
    ancestors, pid = set(), os.getpid()
    while pid > 1:
        ancestors.add(pid)
        with open(f"/proc/{pid}/stat") as f:
            pid = int(f.read().rsplit(")", 1)[1].split()[1])
    programs = []
    for proc in Path("/proc").glob("[0-9]*"):
        with contextlib.suppress(OSError):
            cmdline = (proc / "cmdline").read_bytes().decode("latin-1")
            if int(proc.name) not in ancestors and ".exe" in cmdline.lower() and matching(cmdline) \
                    and f"WINEPREFIX={WINEPREFIX}\0".encode() in (proc / "environ").read_bytes():
                programs.append(int(proc.name))
    return programs


def signal_programs(programs: list[int], sig: int):
    for pid in programs:
        with contextlib.suppress(OSError):
            os.kill(pid, sig)


def power_cut():
    """A power cut in the middle of a run: every program of the session
    stops where it is and is gone. While a run's journal is open, what the
    registry had not saved is lost too (the journal takes it back); once the
    run has committed, its registry writes were flushed, which Wine's
    RegFlushKey does not do: the registry is saved then, as Windows keeps it."""
    programs = session_programs()
    signal_programs(programs, signal.SIGSTOP)
    open_run = bool(journals())
    signal_programs(programs, signal.SIGKILL)
    restart_wineserver(kill=open_run)


def pending_deletions() -> str:
    """What is set to be moved or deleted when the computer restarts, as
    `reg query` shows it, in lower case."""
    pending = reg_query("HKLM\\System\\CurrentControlSet\\Control\\Session Manager", "PendingFileRenameOperations")
    return (pending or ("", ""))[1].lower()

# --- the registry, seen from outside -------------------------------------------

def reg_query(key: str, value: str | None = None):
    """The values of a key as {name: (type, data)}, or None when it is missing.

    With `value`, just that value's (type, data), or None."""
    args = ["reg", "query", key]
    if value is not None:
        args += ["/v", value] if value else ["/ve"]
    code, out = wine_output(args)
    if code != 0:
        return None
    values = {}
    for line in out.replace("\r", "").split("\n"):
        if not line.startswith("    "):
            continue
        parts = line.strip().split(None, 2) if not line.strip().startswith("(Default)") else None
        if parts is None:
            rest = line.strip()[len("(Default)"):].strip().split(None, 1)
            name, typ, data = "", rest[0], (rest[1] if len(rest) > 1 else "")
        else:
            name, typ, data = parts[0], parts[1], (parts[2] if len(parts) > 2 else "")
        values[name] = (typ, data)
    if value is not None:
        return values.get(value)
    return values


ROOT_NAMES = {"HKLM": "HKEY_LOCAL_MACHINE", "HKCU": "HKEY_CURRENT_USER", "HKCR": "HKEY_CLASSES_ROOT",
              "HKCC": "HKEY_CURRENT_CONFIG", "HKU": "HKEY_USERS"}


def reg_subkeys(key: str) -> list[str] | None:
    code, out = wine_output(["reg", "query", key])
    if code != 0:
        return None
    # `reg query` names the root in full: HKLM\x is listed as HKEY_LOCAL_MACHINE\x.
    root, _, rest = key.partition("\\")
    root = ROOT_NAMES.get(root.upper(), root)
    prefix = (root + "\\" + rest).rstrip("\\").upper() + "\\"
    subs = []
    for line in out.replace("\r", "").split("\n"):
        if line.upper().startswith(prefix):
            subs.append(line[len(prefix):])
    return subs


def reg_add(key: str, name: str | None = None, typ: str = "REG_SZ", data: str | None = None):
    args = ["reg", "add", key, "/f"]
    if name is not None:
        args += ["/v", name] if name else ["/ve"]
        args += ["/t", typ]
        if data is not None:
            args += ["/d", data]
    if wine(args) != 0:
        raise RuntimeError(f"reg add {key} {name} failed")


def reg_delete(key: str):
    wine(["reg", "delete", key, "/f"])


def reg_delete_if_empty(key: str):
    """Deletes a key that holds no subkey and no value (a maker's key, once
    no product of its maker is left in it)."""
    if reg_subkeys(key) == [] and reg_query(key) == {}:
        reg_delete(key)


def registry_snapshot(roots=(r"HKLM\Software", r"HKCU\Software")) -> set[tuple[str, str]]:
    """The exported lines of `roots`, each with its key: two snapshots differ
    where a run changed something. Wine's own keys are left out (any program
    with a window may renew its display's state there)."""
    lines = set()
    with tempfile.TemporaryDirectory(dir=drive_c()) as d:
        for i, root in enumerate(roots):
            out = Path(d) / f"{i}.reg"
            if wine(["reg", "export", root, to_win(out), "/y"]) != 0:
                raise RuntimeError(f"reg export {root} failed")
            key = ""
            for line in out.read_text(encoding="utf-16").splitlines():
                key = line[1:-1].lower() if line.startswith("[") else key
                if line and not key.startswith(r"hkey_current_user\software\wine"):
                    lines.add((key, line))
    return lines


def files_snapshot() -> dict[str, tuple[int, int] | None]:
    """Every folder (None) and file (size, modification time) of drive C:, by its path there."""
    found = {}
    for folder, dirs, files in os.walk(drive_c()):
        rel = Path(folder).relative_to(drive_c())
        found.update({str(rel / name): None for name in dirs})
        found.update({str(rel / name): (st.st_size, st.st_mtime_ns)
                      for name in files for st in [(Path(folder) / name).lstat()]})
    return found


def uninstaller_list() -> str:
    """What Wine's Add/Remove Programs tool lists: a line for each entry, its
    key and its display name apart by |||."""
    code, out = wine_output(["uninstaller", "--list"])
    if code != 0:
        raise AssertionError(f"uninstaller --list ended with {code}: {out}")
    return out


# --- installers --------------------------------------------------------------

def build_installer(manifest: str, files: dict[str, bytes] | None, out: Path,
                    extra: list[str] | None = None, check: bool = True,
                    stub: Path | None = None) -> subprocess.CompletedProcess:
    """Packs an installer with mkinst from a manifest text and a dict of
    source files (relative path -> bytes); `stub` replaces the installer's
    own program (a probe built to stand in for it)."""
    src = Path(tempfile.mkdtemp(prefix="src-", dir=out.parent))
    for rel, data in (files or {}).items():
        p = src / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(data)
    mf = src / "product.manifest"
    mf.write_text(manifest, encoding="latin-1")
    args = [str(MKINST), "--stub", str(stub or STUB), "-o", str(out), *(extra or []), str(mf), str(src)]
    r = subprocess.run(args, capture_output=True, text=True)
    if check and r.returncode != 0:
        raise RuntimeError(f"mkinst failed: {r.stderr}")
    shutil.rmtree(src)
    return r


def header(path: Path) -> dict:
    """The archive header of an installer file: where it is ("at", on the
    1024-byte grid from 204800 on) and its fields (the stub's length,
    setuplen, headersize). Reads the header alone, not the whole file."""
    with open(path, "rb") as f:
        at = FIRST_SCAN
        while True:
            f.seek(at)
            fields = f.read(20)
            if len(fields) < 20:
                raise ValueError(f"{path}: no archive header")
            if fields[:8] == MAGIC:
                stub, setuplen, headersize = struct.unpack_from("<III", fields, 8)
                return {"at": at, "stub": stub, "setuplen": setuplen, "headersize": headersize}
            at += 1024


def probe(name: str) -> Path:
    """A test program of tests/probes."""
    return WIN_BUILD / f"{name}.exe"


def dump(work: Path, manifest: str, files: dict[str, bytes], *args: str, env: dict | None = None) -> dict:
    """Packs an installer in `work` with the manifest_dump probe standing in
    for the installer's program, runs it with `args` (and `env` added to the
    environment) and returns what the probe dumped: the parsed manifest, the
    features and the variables."""
    installer = work / "dump.exe"
    build_installer(manifest, files, installer, stub=probe("manifest_dump"))
    out = work / "dump.json"
    code = wine([installer, f"--setVariable-DumpTo={to_win(out)}", *args], env=env)
    if code != 0:
        raise AssertionError(f"the manifest_dump probe ended with {code}")
    return json.loads(out.read_text(encoding="latin-1"))


@contextlib.contextmanager
def held_open(path: Path, folder: Path, timeout: float = 30):
    """Another program holding `path` open: hold_file.exe, with its ready and
    release files and its log in `folder`. Yields the release file, which
    lets the file go once it exists; on leaving, the holder is let go and
    waited for."""
    ready, release = folder / "ready", folder / "release"
    for f in (ready, release):
        f.unlink(missing_ok=True)
    with open(folder / "hold.log", "wb") as log:
        holder = subprocess.Popen(["wine", str(probe("hold_file")), to_win(path), to_win(ready), to_win(release)],
                                  stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        try:
            wait_for(lambda: ready.exists() or holder.poll() is not None, timeout)
            if not ready.exists():
                raise AssertionError(f"hold_file.exe does not hold {path}")
            yield release
        finally:
            release.touch()
            holder.wait(timeout=60)


def signature_of(program: Path) -> str:
    """The manifest signature that a program's file gives its manifests."""
    return program.read_bytes()[23040:23056].hex().upper()


def fatal_run(installer: Path, *args: str, timeout_ms: int = 30000) -> DriverRun:
    """Runs an installer that should stop with one box; presses OK."""
    return drive([
        {"do": "start", "cmdline": command_line(installer, *args)},
        {"do": "box", "timeout_ms": timeout_ms, "press": "ok"},
        {"do": "wait_exit", "timeout_ms": timeout_ms},
    ])


def bmp_to_png(bmp: Path, name: str) -> Path:
    """Keeps a screenshot as a PNG among the test artifacts."""
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    png = ARTIFACTS / f"{name}.png"
    subprocess.run(["convert", str(bmp), str(png)], check=True)
    return png


def read_bmp(path: Path):
    """(width, height, colour(x, y) as "#rrggbb") of the driver's 24-bit BMP."""
    data = path.read_bytes()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height, _, bpp = struct.unpack_from("<iiHH", data, 18)
    assert bpp == 24
    stride = (width * 3 + 3) & ~3

    def colour(x, y):
        b, g, r = data[offset + (height - 1 - y) * stride + 3 * x:][:3]
        return f"#{r:02x}{g:02x}{b:02x}"
    return width, height, colour


class Layout:
    """The frame's layout units, read back from its window size: the frame is
    400 x 300 dialog units, so its width in pixels is exactly 100 * ux."""

    def __init__(self, window: dict):
        left, top, right, bottom = window["rect"]
        self.width, self.height = right - left, bottom - top
        self.ux = self.width // 100
        matches = [uy for uy in range(1, 100) if 300 * uy // 8 == self.height]
        self.uy = matches[0] if matches else None

    def rect(self, left, top, right, bottom):
        return [left * self.ux // 4, top * self.uy // 8, right * self.ux // 4, bottom * self.uy // 8]


def page_text_pixels(run: DriverRun, shot: Path, bottom: int = 250) -> list[str]:
    """The colours of the frame's page text rectangle (down to `bottom` in
    dialog units, above a page's controls) in a window screenshot of `run`,
    which must hold its wait_window record and a pixel record (any point)
    that tells where the client area lies in the shot."""
    _, _, colour = read_bmp(shot)
    window = run.of("wait_window")[0]
    left, top = window["rect"][:2]
    point = run.of("pixel")[0]
    dx, dy = point["screen"][0] - point["x"] - left, point["screen"][1] - point["y"] - top
    l, t, r, b = Layout(window).rect(25, 75, 375, bottom)
    return [colour(x + dx, y + dy) for y in range(t, b) for x in range(l, r)]


def first_page(program: Path, *args: str, ready: dict | None = None) -> list[dict]:
    """UI driver steps that start a program and wait for its first page,
    painted (`ready`: what tells that the page is there), with the pixel
    record that page_text_pixels needs."""
    return [{"do": "start", "cmdline": command_line(program, *args)},
            {"do": "wait_window", "class": FRAME_CLASS, "timeout_ms": 30000},
            ready or {"do": "wait_control", "id": 101, "text": "Next"},
            {"do": "sleep", "ms": 300}, {"do": "pixel", "x": 0, "y": 0}]


def reference_page_text(work: Path, manifest: str, files: dict, text: str, bottom: int = 250) -> list[str]:
    """A reference rendering of a page text (lines apart by "|"): frame_stub.exe
    shows it in a frame built from the same manifest; the colours as
    page_text_pixels gives them."""
    stub = work / "reference.exe"
    build_installer(manifest, files, stub, stub=probe("frame_stub"))
    shot = work / "reference.bmp"
    run = drive([*first_page(stub, f"--setVariable-TestPageText={text}"),
                 {"do": "screenshot", "path": to_win(shot), "window": True}, {"do": "close"}, {"do": "wait_exit"}])
    if run.error:
        raise AssertionError(run)
    return page_text_pixels(run, shot, bottom)


def wait_for(predicate, timeout: float = 10.0, interval: float = 0.1) -> bool:
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


class WineTest(unittest.TestCase):
    """A test case with its own working folder inside the prefix."""

    def setUp(self):
        base = drive_c() / "tests"
        base.mkdir(parents=True, exist_ok=True)
        # Runs that earlier tests ended from outside left their temporary
        # folders: the next run of an installer deletes them, which a test's
        # own before-and-after look at TEMP must not take for its run's doing.
        # No installer runs between tests.
        for left in temp_dir().glob("qz*/run.mark"):
            shutil.rmtree(left.parent, ignore_errors=True)
        self.work = Path(tempfile.mkdtemp(prefix=self.id().split(".")[-1][:40] + "-", dir=base))

    def small_drive(self, letter: str, size: str) -> tuple[Path, bool]:
        """A folder mapped as drive `letter` for the test: a tmpfs of `size`
        (as mount takes it) where this machine lets the test mount one. The
        folder and whether it is that tmpfs."""
        mount = self.work / f"{letter}-drive"
        mount.mkdir()
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(mount)]).returncode == 0
        if mounted:
            self.addCleanup(subprocess.run, ["umount", str(mount)])
        link = drive_c().parent / "dosdevices" / f"{letter}:"
        link.unlink(missing_ok=True)
        link.symlink_to(mount)
        self.addCleanup(link.unlink)
        return mount, mounted

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)


def main():
    unittest.main(verbosity=2)
