"""What users and their machines do to interactive runs, at random: a seeded
campaign of wizard runs (a fresh installation, one over a previous
installation of the same or another version, the installed copy's
maintenance) that click Next, Back, Cancel and the component boxes, answer
boxes either way, close the window and end the program at random moments;
and what befalls them besides: a power cut (the wineserver killed), a second
run of the product at the same time, a drive too small, a read-only or busy
file, the folder written another way.

After every run, and after the next run of the product (the same or the
other version's installer, or the installed copy's repair or removal) that
follows a run that was killed or lost its power: one complete, registered,
removable installation or none, no journal or undo folder left, nothing
outside the installation changed; only a killed run leaves its temporary
folder. Whatever is registered then is removed and leaves nothing.

CHAOS_RUNS (20 here; make chaos: 200) and CHAOS_SEED pick the runs."""

import contextlib
import hashlib
import os
import random
import shutil
import signal
import threading
import time
from collections import Counter

from winetest import (FRAME_CLASS, LICENCE, WineTest, build_installer, command_line, drive, held_open, journals, main,
                      pending_deletions, power_cut, reg_add, reg_delete, reg_query, restart_wineserver,
                      session_programs, signal_programs, start_menu_programs, temp_dir, temp_qz, to_win, wait_for,
                      wine)

MAKER = "MERIDOX Chaos Tests"
UNINSTALL = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Chaos {}PL0"
USER_KEY = f"HKCU\\Software\\{MAKER}"
NEXT, BACK, CANCEL = 101, 102, 2
VERSIONS = ("1.0", "1.1")
# What befalls a run besides its user's clicks: nothing, a power cut (the
# wineserver killed), a second run of the product at the same time, a drive
# too small for the installation, a read-only or a busy file of the previous
# installation, the folder written another way.
FAULTS = ("none", "power", "concurrent", "disk", "readonly", "busy", "form")
FAULT_WEIGHTS = (8, 1, 1, 1, 1, 1, 1)


class Result:
    """A call run beside the test's own thread; get() waits for its result."""

    def __init__(self, call):
        self.value = self.error = None

        def target():
            try:
                self.value = call()
            except Exception as error:  # told by the run, which goes on
                self.error = error
        self.thread = threading.Thread(target=target)
        self.thread.start()

    def get(self):
        self.thread.join()
        return self.value


def files_of(version: str) -> dict[str, bytes]:
    """Half the files change between the versions; Extra's documents are optional."""
    files = {f"bin/f{i:02}.bin": f"{i}{version if i % 2 else ''}".encode() * (4000 + 3000 * i) for i in range(24)}
    files.update({f"doc/d{i}.txt": f"doc {i} {version}".encode() for i in range(3)})
    return files


def manifest(version: str) -> str:
    files = files_of(version)
    names = lambda folder: "".join(p.split("/")[1] + "\n" for p in files if p.startswith(folder))
    return (f"[Variables]\nManufacturer={MAKER}\nProduct=Chaos\nVersion={version}\nDescription=Chaos\n"
            f"[Features]\nFeature=Main\nDescription=Program\nbin/\n{names('bin/')}"
            f"Feature=Extra\nDescription=Documents\ndoc/\n{names('doc/')}"
            "[Components]\nComponent=Main\nDescription=Program\nRequired=yes\nMain\n"
            "Component=Extra\nDescription=Documents\nExtra\n"
            "[Shortcuts]\nChaos=bin\\f00.bin\nUninstall=resources\\setup.exe>--remove\n"
            f"[Registry]\n{USER_KEY}\\Chaos\\Tip=\"v{version}\"\n[Run]\n")


class Chaos(WineTest):
    def setUp(self):
        super().setUp()
        self.folder = self.home = self.work / "Chaos"
        # A drive that holds one installation but not an upgrade beside it.
        mount, mounted = self.small_drive("s", "4m")
        self.drive_folder = mount / "Chaos" if mounted else None
        self.links = start_menu_programs() / "MERIDOX Software" / "Chaos"
        self.outside = self.work / "outside.txt"
        self.outside.write_text("the user's")
        self.installers = {v: self.work / f"chaos-{v}.exe" for v in VERSIONS}
        for version, installer in self.installers.items():
            build_installer(manifest(version), files_of(version), installer)
        self.reset()
        self.addCleanup(self.reset)

    def reset(self):
        """Back to a machine without the product, whatever a run left."""
        for folder in (self.home, self.drive_folder):
            if folder:
                for p in folder.rglob("*"):
                    p.chmod(0o755 if p.is_dir() else 0o644)
                shutil.rmtree(folder, ignore_errors=True)
        for journal in journals():
            journal.unlink()
        reg_delete(f"HKLM\\SOFTWARE\\{MAKER}")
        reg_delete(USER_KEY)
        for version in VERSIONS:
            reg_delete(UNINSTALL.format(version))
        shutil.rmtree(self.links, ignore_errors=True)
        reg_add(USER_KEY, "Own", data="the user's")

    def win(self) -> str:
        """The folder as Windows names it: the small drive by its letter."""
        return "S:\\Chaos" if self.folder == self.drive_folder else to_win(self.folder)

    def registered(self) -> list[str]:
        return [v for v in VERSIONS if reg_query(UNINSTALL.format(v)) is not None]

    def state(self) -> tuple:
        """What the product has on the machine, compared before and after a run."""
        files = sorted((str(p.relative_to(self.folder)), hashlib.md5(p.read_bytes()).hexdigest())
                       for p in self.folder.rglob("*") if p.is_file()) if self.folder.exists() else []
        links = sorted(p.name for p in self.links.iterdir()) if self.links.exists() else []
        return (files, self.registered(), reg_query(f"{USER_KEY}\\Chaos"), links)

    def complete(self, version: str) -> list[str]:
        """What is wrong with the installation of `version` in the folder."""
        wrong = [] if version in self.registered() else [f"{version} is not registered"]
        for path, data in files_of(version).items():
            installed = self.folder / path
            if path.startswith("doc/") and not (self.folder / "doc").exists():
                continue  # Extra not chosen
            if not installed.exists() or installed.read_bytes() != data:
                wrong.append(f"{path} is not {version}'s")
        wrong += [f"{name} missing" for name in ("resources/setup.exe", "resources/manifest")
                  if not (self.folder / name).exists()]
        wrong += [f"{p.name} left" for p in self.folder.glob("~undo*")]
        pending = pending_deletions()
        wrong += [f"{path} goes at the restart" for path in files_of(version)
                  if to_win(self.folder / path).lower() + "\\0" in pending]
        if reg_query(f"{USER_KEY}\\Chaos", "Tip") != ("REG_SZ", f"v{version}"):
            wrong.append("its registry value is not set")
        if not (self.links / "Chaos.lnk").exists():
            wrong.append("its shortcut is missing")
        return wrong

    def actions(self, rng: random.Random, maintenance: bool) -> list[dict]:
        """A user's random clicks and answers, mostly on what is there at the time."""
        def button(control, timeout_ms):
            return [{"do": "wait_control", "id": control, "enabled": True, "visible": True, "timeout_ms": timeout_ms},
                    {"do": "click", "id": control}]
        answer = lambda: {"do": "box", "press": rng.choice(["yes", "no", "ok"]), "optional": True,
                          "timeout_ms": rng.choice([200, 2000])}
        steps, nexts = [], 0
        chosen = maintenance and rng.random() < 0.8
        if chosen:  # repair or removal first: Next waits for the choice
            steps += button(rng.choice([601, 602]), 2000)
        for _ in range(rng.randint(1, 8)):
            kinds = ["next", "cancel", "close", "wait", "answer"] + (["back", "component"] if nexts else [])
            kind = rng.choices(kinds + (["choice"] if maintenance and not nexts else []),
                               [6, 1, 1, 2, 2, 1, 1, 2][:len(kinds)] + ([3] if maintenance and not nexts else []))[0]
            if kind == "next":
                nexts += 1
                steps += button(NEXT, rng.choice([500, 5000, 15000]))
            elif kind == "back":
                steps += button(BACK, 2000)
            elif kind in ("cancel", "close"):
                steps += [{"do": "close"} if kind == "close" else {"do": "click", "id": CANCEL}, answer()]
            elif kind == "component":
                steps += button(251, 3000)
            elif kind == "choice":
                steps += button(rng.choice([601, 602]), 2000)
            elif kind == "wait":
                steps.append({"do": "sleep", "ms": rng.randrange(1500)})
            else:
                steps.append(answer())
        if rng.random() < 0.2:
            return steps  # the program is ended wherever it is
        # A user who wants it over: Next to the end, yes to every question.
        if maintenance and not chosen:
            steps += button(rng.choice([601, 602]), 2000)
        for _ in range(4):
            steps += [{"do": "box", "press": "yes", "optional": True, "timeout_ms": 300}, *button(NEXT, 15000)]
        return steps + [{"do": "box", "press": "yes", "optional": True, "timeout_ms": 300},
                        {"do": "wait_exit", "timeout_ms": 20000}]

    def next_run(self, rng: random.Random, version: str) -> tuple[str, int]:
        """After a run that was killed or lost its power: another run of the
        product, as a user would start one."""
        setup = self.folder / "resources" / "setup.exe"
        kind = rng.choice(["same", "other"] + (["repair", "removal"] if setup.exists() else []))
        quiet = ["--unattended"]
        if kind in ("same", "other"):
            other = VERSIONS[1 - VERSIONS.index(version)]
            program = self.installers[version if kind == "same" else other]
            return kind, wine([program, f"--dir={self.win()}", LICENCE, *quiet])
        args = ["--remove-silently"] if kind == "removal" else ["--setTrue-HeadlessInstall", "--setTrue-Repair"]
        return kind, wine([setup, *args, *quiet])

    def invariant(self) -> list[str]:
        """One complete, registered, removable installation or none."""
        wait_for(lambda: not list(self.folder.glob("~undo*")) and not journals()
                 and not list(self.folder.glob("resources/~setup*.tmp")), 10)
        wrong = [f"journal left: {j.name}" for j in journals()] + [f"{p.name} left" for p in self.folder.glob("~undo*")]
        registered = self.registered()
        if len(registered) > 1:
            wrong.append(f"registered twice: {registered}")
        elif registered:
            wrong += self.complete(registered[0])
        else:
            pending = pending_deletions()
            wrong += [f"unregistered file left: {p.name}" for p in self.folder.rglob("*")
                      if p.is_file() and to_win(p).lower() not in pending]
        return wrong

    def end_left_programs(self) -> bool:
        """Ends what a run left running (a remover it started waits on a box
        that the UI driver does not see), as its user would; whether any was."""
        left = session_programs(lambda cmdline: self.work.name in cmdline and (
            "\\resources\\setup.exe" in cmdline or "\\chaos-1." in cmdline))
        signal_programs(left, signal.SIGKILL)
        return bool(left)

    def one_run(self, rng: random.Random, outcomes: Counter) -> list[str]:
        started = time.monotonic()
        self.reset()
        fault = rng.choices(FAULTS, FAULT_WEIGHTS)[0]
        self.folder = self.drive_folder if fault == "disk" and self.drive_folder else self.home
        previous = rng.choice([None, "1.0", "1.0", "1.1"])
        if previous:
            code = wine([self.installers[previous], f"--dir={self.win()}", LICENCE])
            if fault == "disk" and code != 0:
                previous = None  # it did not fit: a run over nothing
            else:
                self.assertEqual(code, 0)
        program = rng.choice(["installer", "installer", "maintenance"] if previous else ["installer"])
        version = rng.choice(VERSIONS) if program == "installer" else previous
        target = self.installers[version] if program == "installer" else self.folder / "resources" / "setup.exe"
        folder = self.win()
        if fault == "form":
            folder = rng.choice([folder + "\\", folder.replace("\\", "/"), folder.replace("\\", "\\\\", 2)])
        files = [p for p in self.folder.rglob("*.bin")] if previous else []
        if fault == "readonly" and files:
            rng.choice(files).chmod(0o444)
        before, temp_before = self.state(), temp_qz(folders_only=True)
        options = [f"--dir={folder}"] if program == "installer" else []
        steps = [{"do": "start", "cmdline": command_line(target, *options)},
                 {"do": "wait_window", "class": FRAME_CLASS, "timeout_ms": 30000},
                 *self.actions(rng, program == "maintenance")]
        second, overlapped = None, False
        with contextlib.ExitStack() as held:
            if fault == "busy" and files:
                held.enter_context(held_open(rng.choice(files), self.work))
            if fault == "power":
                restart_wineserver(kill=False)  # what is there before is on the disk
            runner = Result(lambda: drive(steps, timeout_ms=30000))
            if fault in ("power", "concurrent"):
                time.sleep(rng.uniform(1, 6))
                if fault == "power":
                    power_cut()
                else:
                    other = self.installers[VERSIONS[1 - VERSIONS.index(version)]]
                    second = wine([other, f"--dir={self.win()}", LICENCE, "--unattended"])
                    overlapped = runner.thread.is_alive()  # the first run was at work all along
            run = runner.get()
        left = self.end_left_programs()
        if run is None:  # the UI driver itself did not end: the run is told, the next starts afresh
            restart_wineserver(kill=True)
            return [f"{program} {version} over {previous} ({fault}): the UI driver failed: {runner.error}"]
        # A step that found the program ended is its natural end; any other
        # failed step ends the program where it was.
        ended = run.error and ("exited" in run.error or "window is gone" in run.error)
        killed = fault == "power" or left or bool((run.error and not ended) or (run.of("end") and run.of("end")[0]["terminated"]))
        wrong = [f"a box: {b['caption']}: {b['text']}" for b in run.boxes
                 if b.get("caption") == "Fatal error" and fault not in ("disk", "busy", "readonly")]
        if overlapped and second != 1 and not ended:
            wrong.append(f"a second run at the same time ended with {second}")
        after = self.state()
        if killed:
            # The next run of the product takes the killed one back or completes it.
            for left in temp_qz(folders_only=True) - temp_before:
                shutil.rmtree(temp_dir() / left, ignore_errors=True)
            kind, code = self.next_run(rng, version)
            wrong += [f"the next run ({kind}) ended with {code}"] if code not in (0, 1) else []
            outcome = f"killed, then {kind}"
        elif after == before:
            outcome = "as before"
        elif program == "installer" and after[:2] == ([], []) and any(
                b.get("caption") == "Previous Installation" and b.get("pressed") == 6 for b in run.boxes):
            # The user had the previous installation removed, then stopped the new one.
            outcome = "previous removed, then stopped"
        elif program == "installer":
            outcome = "installed"
        else:
            outcome = "removed" if not self.registered() else "repaired"
        wrong += self.invariant()
        # (A run may take away what killed runs left before it.)
        if not killed and not wait_for(lambda: not temp_qz(folders_only=True) - temp_before, 20):
            wrong.append(f"temporary folders left: {temp_qz(folders_only=True) - temp_before}")
        outcomes[f"{program} over {previous or 'nothing'}: {outcome}"] += 1
        outcomes[f"fault: {fault}"] += 1
        print(f"{program} {version} over {previous} ({fault}): {outcome};",
              " ".join(s["do"] + (f" {s.get('id', '')}" if s["do"] == "click" else "") for s in run.records
                       if s["do"] in ("click", "close", "box") and "none" not in s),
              "|", run.error or "", f"| {time.monotonic() - started:.0f} s", flush=True)
        # Whatever is registered is removed and leaves nothing.
        for registered in reversed(self.registered()):
            setup = self.folder / "resources" / "setup.exe"
            code = wine([setup, "--remove-silently", "--unattended"]) if setup.exists() else "no setup.exe"
            if code != 0:
                wrong.append(f"removing {registered} ended with {code}")
                break
        # (A removal leaves the manifest's registry values, as they were set.)
        if not wait_for(lambda: self.state()[:2] + self.state()[3:] == ([], [], []), 20):
            wrong.append(f"left after the removals: {self.state()}")
        if self.outside.read_text() != "the user's" or reg_query(USER_KEY, "Own") != ("REG_SZ", "the user's"):
            wrong.append("something outside the installation changed")
        return [f"{program} {version} over {previous} ({fault}), {'killed' if killed else 'ended'}: {w}" for w in wrong]

    def test_random_users(self):
        runs = int(os.environ.get("CHAOS_RUNS", "20"))
        seed = os.environ.get("CHAOS_SEED", "meridox")
        rng = random.Random(seed)
        outcomes, violations = Counter(), []
        for n in range(runs):
            violations += [f"run {n}: {v}" for v in self.one_run(rng, outcomes)]
        print(f"\n{runs} runs (seed {seed}):", *[f"  {k}: {v}" for k, v in sorted(outcomes.items())], sep="\n")
        self.assertFalse(violations, "\n".join(violations))


if __name__ == "__main__":
    main()
