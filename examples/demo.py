"""The main job: the sample product from packing to removal, under Wine."""

import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
from winetest import (ARTIFACTS, LICENCE, MKINST, STUB, drive, reg_query, start_menu_programs,  # noqa: E402
                      to_unix, to_win, uninstaller_list, wait_for, wine)

SAMPLE = Path(__file__).resolve().parent / "sample"
PRODUCT_KEY = "HKLM\\SOFTWARE\\MERIDOX Software\\Sample Studio"
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Sample Studio 2.1PL0"
MANIFEST_VALUES = [("HKLM\\SOFTWARE\\MERIDOX Software\\Sample Studio", "Edition"),
                   ("HKCU\\Software\\MERIDOX Software\\Sample Studio", "ShowTips"),
                   ("HKCR\\SampleStudio.Palette", "FriendlyTypeName")]


def heading(text):
    print(f"\n== {text}")


def show_key(key):
    values = reg_query(key)
    if values is None:
        print(f"   {key}: (none)")
        return
    print(f"   {key}")
    for name, (typ, data) in values.items():
        print(f"      {name or '(Default)':<16} {typ:<10} {data}")


def listed():
    return [line for line in uninstaller_list().splitlines() if "Sample Studio" in line]


def main() -> int:
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    installer = ARTIFACTS / "SampleStudioSetup.exe"
    heading("Packing the sample product with mkinst")
    cmd = [str(MKINST), "--stub", str(STUB), "-q", "-o", str(installer),
           str(SAMPLE / "product.manifest"), str(SAMPLE / "files")]
    print("   $ " + " ".join(cmd))
    subprocess.run(cmd, check=True)
    print(f"   {installer.name}: {installer.stat().st_size:,} bytes")

    heading("Installing headless: --dir=default and the licence option")
    start = time.monotonic()
    code = wine([installer, "--dir=default", LICENCE])
    print(f"   exit code {code} after {time.monotonic() - start:.2f} s")
    if code != 0:
        return 1
    inst_dir = reg_query(PRODUCT_KEY + "\\2.1\\PL0", "InstDir")[1]
    folder = to_unix(inst_dir)
    print(f"   installed into {inst_dir}")

    heading("Files")
    for p in sorted(folder.rglob("*")):
        if p.is_file():
            print(f"   {p.relative_to(folder)!s:<32} {p.stat().st_size:>9,} bytes")

    heading("Registry")
    show_key(PRODUCT_KEY + "\\2.1\\PL0")
    show_key(UNINSTALL_KEY)
    for key, _ in MANIFEST_VALUES:
        show_key(key)
    print("   Add/Remove Programs (wine uninstaller --list): " + "; ".join(listed()))

    heading("Shortcuts")
    links = sorted((start_menu_programs() / "MERIDOX Software" / "Sample Studio").glob("*.lnk"))
    run = drive([{"do": "read_link", "path": to_win(p)} for p in links])
    for p, link in zip(links, run.of("read_link")):
        print(f"   {p.name}")
        print(f"      target   {link['target']} {link['arguments']}".rstrip())
        print(f"      folder   {link['working_dir']}")
        if link["icon_path"]:
            print(f"      icon     {link['icon_path']},{link['icon_index']}")

    heading("Installed manifest (resources\\manifest)")
    for line in (folder / "resources" / "manifest").read_text(encoding="latin-1").splitlines():
        print("   " + line)

    heading("Removing with the installed copy: resources\\setup.exe --remove-silently")
    code = wine([folder / "resources" / "setup.exe", "--remove-silently"])
    print(f"   exit code {code}")
    gone = wait_for(lambda: not folder.exists(), 30)

    heading("What is left")
    checks = [
        ("installation folder", not folder.exists()),
        ("shortcut folder", not (start_menu_programs() / "MERIDOX Software" / "Sample Studio").exists()),
        ("product key " + PRODUCT_KEY + "\\2.1", reg_query(PRODUCT_KEY + "\\2.1") is None),
        ("uninstall entry", reg_query(UNINSTALL_KEY) is None),
        ("Add/Remove Programs entry", not listed()),
    ]
    for what, ok in checks:
        print(f"   {'gone' if ok else 'STILL THERE'}: {what}")
    print("   kept, as the manifest format has it: the maker's and product's keys and the")
    print("   manifest's own [Registry] values:")
    for key, name in MANIFEST_VALUES:
        value = reg_query(key, name)
        print(f"      {key}\\{name} = {value[1] if value else '(none)'}")
    ok = code == 0 and gone and all(ok for _, ok in checks)
    heading("Demo " + ("finished: installed, shown and removed." if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
