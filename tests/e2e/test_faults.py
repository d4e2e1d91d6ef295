"""The fault campaign: a small product's installation, upgrade (version 2
over 1), repair and removal, each ended at every change it makes to the
machine (a build of the installer with crash points ends the process right
after the n-th change), some of them with a power cut (the wineserver killed,
so that the registry loses what it had not saved), each followed by another
run of the product: the same program again, the other version's installer,
or the installed copy's repair or removal.

After that next run, whatever n was: one complete, registered, removable
installation or none, nothing outside it changed, no journal and no undo
folder left; then the removal of what is registered leaves nothing.

FAULT_POINTS=all (make chaos) tries every n; make test five of each."""

import hashlib
import os
import shutil

from winetest import (LICENCE, WineTest, build_installer, journals, main, probe, reg_add, reg_delete, reg_query,
                      reg_subkeys, restart_wineserver, start_menu_programs, to_win, wait_for, wine)

MAKER = "MERIDOX Fault Tests"
UNINSTALL = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Faulty {}PL0"
PRODUCT_KEY = f"HKLM\\SOFTWARE\\{MAKER}\\Faulty\\{{}}\\PL0"
USER_KEY = f"HKCU\\Software\\{MAKER}"
APP_PATHS = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\faulty.exe"
VERSIONS = ("1.0", "2.0")
OPERATIONS = ("install", "upgrade", "repair", "remove")
NEXT_RUNS = ("same", "other", "removal", "repair")
# The program of each operation.
SAME = {"install": "1.0", "upgrade": "2.0", "repair": "repair", "remove": "removal"}


def files_of(version: str) -> dict[str, bytes]:
    """One file stays, one changes, each version has one of its own."""
    files = {"bin/same.bin": b"same" * 3000, "bin/changed.bin": f"changed {version}".encode() * 500}
    files["bin/only1.bin" if version == "1.0" else "doc/only2.txt"] = f"only {version}".encode()
    return files


def manifest(version: str) -> str:
    folders = {}
    for path in files_of(version):
        folder, name = path.split("/")
        folders.setdefault(folder, []).append(name)
    lines = "".join(f"{folder}/\n" + "".join(f"{n}\n" for n in names) for folder, names in folders.items())
    return (f"[Variables]\nManufacturer={MAKER}\nProduct=Faulty\nVersion={version}\nDescription=Faulty\n"
            f"Appname=faulty.exe\n[Features]\nFeature=Main\n{lines}[Components]\nComponent=Main\nMain\n"
            "[Shortcuts]\nFaulty=bin\\same.bin\n"
            f"[Registry]\n{USER_KEY}\\Faulty\\Tip=\"v{version}\"\n[Run]\n")


class Faults(WineTest):
    def setUp(self):
        super().setUp()
        self.folder = self.work / "Faulty"
        self.links = start_menu_programs() / "MERIDOX Software" / "Faulty"
        self.outside = self.work / "outside.txt"
        self.outside.write_text("the user's")
        self.installers = {v: self.work / f"faulty-{v}.exe" for v in VERSIONS}
        for version, installer in self.installers.items():
            build_installer(manifest(version), files_of(version), installer, stub=probe("crash_stub"))
        self.reset()
        self.addCleanup(self.reset)

    def reset(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        shutil.rmtree(self.links, ignore_errors=True)
        for key in (f"HKLM\\SOFTWARE\\{MAKER}", USER_KEY, APP_PATHS, *(UNINSTALL.format(v) for v in VERSIONS)):
            reg_delete(key)
        for journal in journals():
            journal.unlink()
        reg_add(USER_KEY, "Own", data="the user's")

    def setup_exe(self):
        return self.folder / "resources" / "setup.exe"

    def start(self, program: str, env=None) -> int:
        """The operations and next runs, all without a window."""
        quiet = ["--unattended"]
        if program in VERSIONS:
            return wine([self.installers[program], f"--dir={to_win(self.folder)}", LICENCE, *quiet], env=env)
        if not self.setup_exe().exists():
            return -1
        if program == "removal":
            return wine([self.setup_exe(), "--remove-silently", *quiet], env=env)
        return wine([self.setup_exe(), "--setTrue-HeadlessInstall", "--setTrue-Repair", *quiet], env=env)

    def operation(self, op: str, env=None, power: bool = False) -> int:
        """The operation on a machine as it needs it; with `power`, what
        the registry holds then is saved first."""
        self.reset()
        if op != "install":
            self.assertEqual(self.start("1.0"), 0)
        if power:
            restart_wineserver(kill=False)
        return self.start(SAME[op], env)

    def registered(self) -> list[str]:
        return [v for v in VERSIONS if reg_query(UNINSTALL.format(v)) is not None]

    def wrong(self) -> list[str]:
        """What breaks the invariant now."""
        # The clean-up script of a run that had to leave its own program
        # file there removes the undo folder (or a removal's journal) once
        # the program has ended; with it the program's own file, set aside.
        wait_for(lambda: not list(self.folder.glob("~undo*")) and not journals()
                 and not list(self.folder.glob("resources/~setup*.tmp")), 10)
        wrong = [f"journal left: {j.name}" for j in journals()]
        wrong += [f"{p.name} left" for p in self.folder.glob("~undo*")]
        registered = self.registered()
        if len(registered) > 1:
            wrong.append(f"registered twice: {registered}")
        elif registered:
            version = registered[0]
            for path, data in files_of(version).items():
                if not (self.folder / path).is_file() or (self.folder / path).read_bytes() != data:
                    wrong.append(f"{path} is not {version}'s")
            other = VERSIONS[1 - VERSIONS.index(version)]
            wrong += [f"{path} of {other} left" for path in files_of(other)
                      if path not in files_of(version) and (self.folder / path).exists()]
            manifest_file = self.folder / "resources" / "manifest"
            check = reg_query(PRODUCT_KEY.format(version), "ManifestCheck")
            if not manifest_file.exists() or not check or \
                    check[1] != hashlib.sha256(manifest_file.read_bytes()).hexdigest().upper():
                wrong.append("the installed manifest does not match its registration")
            if not self.setup_exe().exists():
                wrong.append("no installed copy")
            if reg_query(f"{USER_KEY}\\Faulty", "Tip") != ("REG_SZ", f"v{version}"):
                wrong.append("the registry value is not its version's")
            if not (self.links / "Faulty.lnk").exists():
                wrong.append("no shortcut")
        else:
            wrong += [f"unregistered file left: {p}" for p in self.folder.rglob("*") if p.is_file()]
            wrong += ["shortcuts left"] if self.links.exists() else []
            wrong += ["a version's keys left"] if reg_subkeys(f"HKLM\\SOFTWARE\\{MAKER}\\Faulty") else []
        if self.outside.read_text() != "the user's" or reg_query(USER_KEY, "Own") != ("REG_SZ", "the user's"):
            wrong.append("something outside the installation changed")
        return wrong

    def removed_cleanly(self) -> list[str]:
        if self.registered():
            code = self.start("removal")
            if code != 0:
                return [f"its removal ended with {code}"]
        gone = wait_for(lambda: not any(p.is_file() for p in self.folder.rglob("*")) and not self.links.exists(), 20)
        return [] if gone and not self.registered() and not journals() else ["the removal left something"]

    def points(self, op: str) -> tuple[list[int], int]:
        """The crash points to try and where the commit is."""
        trace = self.work / f"{op}.changes"
        trace.unlink(missing_ok=True)
        self.assertEqual(self.operation(op, {"MERIDOX_CHANGES": to_win(trace)}), 0)
        kinds = [line.split()[1] for line in trace.read_text().splitlines()]
        commit = kinds.index("commit") + 1 if "commit" in kinds else len(kinds)
        every = list(range(1, len(kinds) + 1))
        if os.environ.get("FAULT_POINTS") == "all":
            return every, commit
        # make test: the first change, one in the middle, the commit's
        # neighbours and the last; make chaos: every one.
        return sorted({1, len(kinds) // 2, commit - 1, commit, len(kinds)}), commit

    def test_every_crash_point_leaves_one_installation_or_none(self):
        violations, runs = [], 0
        for op in OPERATIONS:
            points, commit = self.points(op)
            for n in points:
                runs += 1
                power = (n + runs) % 4 == 0
                code = self.operation(op, {"MERIDOX_CRASH_AT": str(n)}, power)
                if power:
                    # Before the commit the registry loses the run's changes;
                    # from it on they are on the disk (the system's own flush).
                    restart_wineserver(kill=n < commit)
                program = {"same": SAME[op], "other": "1.0" if op == "upgrade" else "2.0", "removal": "removal",
                           "repair": "repair"}[NEXT_RUNS[(n + runs) % len(NEXT_RUNS)]]
                after = self.start(program)
                if after == -1:
                    after = self.start("1.0")
                label = f"{op} ended at change {n}/{commit}{' by a power cut' if power else ''}, then {program}"
                # (A run may make a change fewer than its dry run: none at all is missed.)
                wrong = ([f"it ended with {code}"] if code not in (0, 99) else []) + \
                    ([f"the next run ended with {after}"] if program in VERSIONS and after != 0 else [])
                wrong += self.wrong()
                wrong += self.removed_cleanly()
                print(f"{label}: {'; '.join(wrong) or 'as it must be'}", flush=True)
                violations += [f"{label}: {w}" for w in wrong]
        print(f"\n{runs} runs", flush=True)
        self.assertFalse(violations, "\n".join(violations))


if __name__ == "__main__":
    main()
