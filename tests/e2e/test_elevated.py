"""The installer runs with administrator rights, often from a folder anybody
can write to: what an ordinary user or a server can put in its way must never
act with those rights. Under Wine every user is an administrator and file
rights are not enforced, so each attack is staged as the user would stage it
and the test looks at what the installer did: which libraries it loaded
(a native-first override stands in for Windows' search order), what it wrote
or deleted through a link (a Unix symbolic link stands in for a junction),
which registration a maintenance run acted on, and the rights it gave its
own folders (read back, not enforced)."""

import hashlib
import os
import re
import shutil
import tempfile
from pathlib import Path

from netserve import Servers
import test_drivers  # its INF; imported whole, so that its tests do not run here too
from winetest import (LICENCE, WIN_BUILD, WineTest, build_installer, drive, fatal_run, main, probe,
                      reg_delete, reg_query, start_menu_programs, temp_dir, temp_qz, to_win, wait_for, wine)

MAKER = "MERIDOX Elevated Tests"
UNINSTALL = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
PLANTED = ("newdev.dll", "setupapi.dll", "wininet.dll", "shfolder.dll", "velloq_helper.dll")


def product(name: str, extra: str = "", files=("a.dll", "f0000.bin")) -> tuple[str, dict]:
    manifest = (f"[Variables]\nManufacturer={MAKER}\nProduct={name}\nVersion=1.0\nDescription={name}\n{extra}"
                "[Features]\nFeature=Main\nbin/\n" + "".join(f + "\n" for f in files) +
                f"[Components]\nComponent=C\nMain\n[Shortcuts]\n{name}=bin\\a.dll\n[Run]\n")
    return manifest, {f"bin/{f}": f"{name} {f}".encode() for f in files}


class Elevated(WineTest):
    def setUp(self):
        super().setUp()
        for key in (f"HKLM\\SOFTWARE\\{MAKER}", "HKLM\\SOFTWARE\\MeridoxTests"):
            self.addCleanup(reg_delete, key)
        self.addCleanup(shutil.rmtree, start_menu_programs() / "MERIDOX Software", True)

    def installer(self, name: str, extra: str = "", files=("a.dll", "f0000.bin")) -> Path:
        self.addCleanup(reg_delete, f"{UNINSTALL}\\{name} 1.0PL0")
        out = self.work / f"{name}.exe"
        build_installer(*product(name, extra, files), out)
        return out

    def install(self, name: str, folder: Path, extra: str = "", resources: Path | None = None) -> Path:
        self.assertEqual(wine([self.installer(name, extra), f"--dir={to_win(folder)}", LICENCE]), 0)
        return (resources or folder) / "resources" / "setup.exe"

    def test_libraries_come_from_the_system_folder_only(self):
        servers = Servers(Path(tempfile.mkdtemp(prefix="servers-")))
        self.addCleanup(servers.stop)
        setup = probe("fake_setup").read_bytes()
        url = servers.route(f"/{self.work.name}/web-setup.exe", setup)
        marker, log = self.work / "web.txt", self.work / "planted.log"
        store = test_drivers.STORE
        before = set(store.iterdir())
        self.addCleanup(lambda: [p.unlink() for p in set(store.iterdir()) - before])
        self.addCleanup(reg_delete, f"{UNINSTALL}\\Planted 1.0PL0")
        installer = self.work / "planted.exe"
        plugins = WIN_BUILD / "plugin"
        build_installer(f"""[Variables]\nManufacturer={MAKER}\nProduct=Planted\nVersion=1.0\nInstallTESSERAPlugin=true
[Features]\nFeature=Tools\nbin/\nVELLOQ.dll\nvelloq_helper.dll\ndrivers/\nplanted.inf\nDriverInf=planted.inf
Feature=Web\nInstaller={url}\nDigest={hashlib.sha256(setup).hexdigest()}\nArguments={to_win(marker)} 0
[Components]\nComponent=All\nRequired=yes\nTools\nWeb\n[Run]\n""",
                        {"bin/VELLOQ.dll": (plugins / "velloq_needs.dll").read_bytes(),
                         "bin/velloq_helper.dll": (plugins / "velloq_helper.dll").read_bytes(),
                         "drivers/planted.inf": test_drivers.INF.format("Planted").encode()}, installer)
        for name in PLANTED:
            shutil.copy(WIN_BUILD / "stand-ins" / "planted.dll", self.work / name)
        # The downloaded installer looks for a library and a program by name
        # in its current folder: never the installer's.
        stray = self.work / "stray.txt"
        shutil.copy(probe("fake_setup"), self.work / "stray.exe")
        names = ",".join(Path(n).stem for n in PLANTED)
        env = {"WINEDLLOVERRIDES": f"{os.environ.get('WINEDLLOVERRIDES', '')};{names}=n,b", "PLANTED_LOG": to_win(log),
               "FAKE_SETUP_LOADS": "velloq_helper.dll", "FAKE_SETUP_STARTS": f"stray.exe {to_win(stray)} 0"}
        self.assertEqual(wine([installer, f"--dir={to_win(self.work / 'planted')}", LICENCE], env=env), 0)
        self.assertFalse(log.exists(), log.exists() and log.read_text())
        self.assertFalse(stray.exists(), "a program named bare is not looked for beside the installer")
        self.assertEqual(reg_query("HKLM\\SOFTWARE\\MeridoxTests\\Plugin", "Helper"), ("REG_DWORD", "0x2a"),
                         "the plug-in's helper came from its own folder")
        self.assertEqual(marker.read_text().split(), ["0"], "the download ran, through the system's wininet")
        self.assertTrue((store / "planted.inf").exists(), "the driver went in, through the system's setupapi")

    def test_temporary_folders_are_new_and_only_the_administrators(self):
        temp = temp_dir()
        # Every name the installer once drew, made beforehand by someone else.
        taken = [temp / f"qz{n}" for n in range(4096)]
        for folder in taken:
            folder.mkdir(exist_ok=True)
        (taken[0] / "planted.txt").write_text("mine")
        self.addCleanup(lambda: [shutil.rmtree(f, True) for f in taken])
        before = temp_qz()
        rights = self.work / "rights.txt"
        installer = self.installer("Private")
        run = drive([{"do": "start", "cmdline": f'"{to_win(installer)}"'},
                     {"do": "wait_window", "class": "MERIDOX Installer", "timeout_ms": 30000},
                     {"do": "run", "cmdline": f'"{to_win(probe("rights_probe"))}" "{to_win(rights)}" '
                                              f'"{to_win(temp)}\\qz*"'},
                     {"do": "switch", "program": 0}, {"do": "wait_window", "class": "MERIDOX Installer"},
                     {"do": "close"}, {"do": "wait_exit"}])
        self.assertEqual(run.exit_code, 0, run)
        # Wine keeps a folder's rights only as far as its Unix mode can: that
        # Everyone (WD) is left out, as it is not from the folders made before.
        dacls = dict(line.split("\t") for line in rights.read_text().splitlines())
        new = {name: dacl for name, dacl in dacls.items() if name not in before}
        self.assertEqual(len(new), 1, new)
        self.assertRegex(dacls["qz0"], r"\(A;[^)]*;;;WD\)")
        self.assertNotRegex(list(new.values())[0], r";;;(WD|BU|AU)\)")

        # The folders an installation makes, and those that hold what a
        # repair or removal runs as administrator even where they were there
        # before (a folder anybody could write): administrators change them,
        # Users read them (under Wine, which keeps what a Unix mode can, the
        # others' bits: read and run, never write).
        # (Wine reads a folder in a folder anybody may write as anybody's to
        # change, whatever its rights, as a Unix rename would allow: the
        # folder above stays closed here.)
        shared = self.work / "shared"
        (shared / "resources").mkdir(parents=True)
        (shared / "resources").chmod(0o777)
        setup = self.install("Private", shared)
        self.assertEqual(wine([probe("rights_probe"), to_win(rights), f"{to_win(shared)}\\*"]), 0)
        dacls = dict(line.split("\t") for line in rights.read_text().splitlines())
        for name in ("bin", "resources"):
            users = re.findall(r"\(A;[^;]*;([^;]*);;;(?:WD|BU|AU)\)", dacls[name])
            self.assertTrue(all(mask == "0x1200a9" for mask in users), (name, dacls[name]))
        self.assertEqual(wine([setup, "--remove-silently"]), 0)

        setup = self.install("Private", self.work / "private")
        self.assertEqual(wine([setup, "--remove-silently"]), 0)
        self.assertTrue(wait_for(lambda: not (self.work / "private").exists(), 20))
        self.assertTrue(wait_for(lambda: temp_qz() == before, 20), temp_qz() - before)
        self.assertEqual([p.name for p in taken[0].iterdir()], ["planted.txt"])
        self.assertEqual(len([f for f in taken if f.is_dir()]), 4096)

    def test_links_are_not_followed_out_of_the_installation(self):
        victim = self.work / "Victim"
        victim.mkdir()
        for name in ("a.dll", "f0000.bin"):
            (victim / name).write_text("precious")
        folder = self.work / "ProgA"
        setup = self.install("Linked", folder)
        shutil.rmtree(folder / "bin")
        (folder / "bin").symlink_to("../Victim")

        self.assertEqual(wine([setup, "--remove-silently"]), 0)
        self.assertTrue(wait_for(lambda: not setup.exists(), 20))
        self.assertEqual({p.name: p.read_text() for p in victim.iterdir()}, {"a.dll": "precious", "f0000.bin": "precious"})
        self.assertIsNone(reg_query(f"HKLM\\SOFTWARE\\{MAKER}\\Linked\\1.0\\PL0"))

        run = fatal_run(self.work / "Linked.exe", f"--dir={to_win(folder)}", LICENCE)
        self.assertEqual(run.exit_code, 1, run)
        self.assertEqual([b["text"] for b in run.boxes],
                         [f"{to_win(folder)}\\bin is a link to another place.\nThe installation writes nothing "
                          "through a link; remove the link and run the installation again."])
        self.assertEqual({p.name: p.read_text() for p in victim.iterdir()}, {"a.dll": "precious", "f0000.bin": "precious"})
        self.assertIsNone(reg_query(f"HKLM\\SOFTWARE\\{MAKER}\\Linked\\1.0\\PL0"), "the refused run took itself back")

        # A file of the installation that is another name of a file outside
        # (a hard link) is replaced, never written through, by a reinstallation.
        shutil.rmtree(folder)
        setup = self.install("Linked", folder)
        installed = (folder / "bin" / "a.dll").read_bytes()
        (folder / "bin" / "a.dll").unlink()
        os.link(victim / "a.dll", folder / "bin" / "a.dll")
        self.assertEqual(wine([self.work / "Linked.exe", f"--dir={to_win(folder)}", LICENCE]), 0)
        self.assertEqual(((victim / "a.dll").read_text(), (folder / "bin" / "a.dll").read_bytes()), ("precious", installed))
        self.assertEqual(wine([setup, "--remove-silently"]), 0)

    def test_maintenance_acts_only_on_its_own_registration(self):
        alpha = self.install("Alpha", self.work / "alpha")
        beta = self.install("Beta", self.work / "beta")
        gamma = self.install("Gamma", self.work / "gamma", f"ResDir={to_win(self.work / 'gamma-res')}\n",
                             self.work / "gamma-res")
        own = alpha.with_name("manifest").read_bytes()
        copy = self.work / "alpha copy"
        shutil.copytree(self.work / "alpha", copy)
        attacks = {"another product's manifest": (alpha, beta.with_name("manifest")),
                   "a manifest whose InstDir= names another folder": (alpha, gamma.with_name("manifest")),
                   "the registration of another folder": (copy / "resources" / "setup.exe", None)}
        for what, (program, manifest) in attacks.items():
            with self.subTest(what):
                if manifest:
                    program.with_name("manifest").write_bytes(manifest.read_bytes())
                for args in (["--remove-silently"], []):
                    run = fatal_run(program, *args)
                    self.assertEqual((run.exit_code, [b["caption"] for b in run.boxes]), (1, ["Fatal error"]), run)
                    self.assertIn("does not match the installation registered on this computer for this folder",
                                  run.boxes[0]["text"])
                for folder, name in ((self.work / "beta", "Beta"), (self.work / "gamma", "Gamma"),
                                     (self.work / "alpha", "Alpha")):
                    self.assertTrue((folder / "bin" / "a.dll").exists(), name)
                    self.assertIsNotNone(reg_query(f"{UNINSTALL}\\{name} 1.0PL0"), name)
                    self.assertTrue((start_menu_programs() / "MERIDOX Software" / name / f"{name}.lnk").exists())
        alpha.with_name("manifest").write_bytes(own)
        for setup in (alpha, beta, gamma):
            self.assertEqual(wine([setup, "--remove-silently"]), 0, setup)
        for folder in ("alpha", "beta", "gamma", "gamma-res"):
            self.assertTrue(wait_for(lambda: not (self.work / folder).exists(), 20), folder)

    def test_a_folder_of_percent_signs_and_shell_characters_is_removed_whole(self):
        folder = self.work / "x%PATH%y!^&()"
        setup = self.install("Percent", folder)
        self.assertEqual(setup.with_name("manifest").read_text().count("%PATH%"), 0, "kept as %InstDir%")
        self.assertEqual(wine([setup, "--remove-silently"]), 0)
        self.assertTrue(wait_for(lambda: not folder.exists(), 20), list(folder.rglob("*")))
        self.assertIsNone(reg_query(f"{UNINSTALL}\\Percent 1.0PL0"))


if __name__ == "__main__":
    main()
