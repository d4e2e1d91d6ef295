#!/usr/bin/env python3
"""The layers the README states: run -> pages -> install -> core -> common.
A file may include from its own folder and those below it, never from one
above. Prints each include that breaks the rule and exits 1 when there is one."""

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
LAYERS = ["common", "wininst/core", "wininst/install", "wininst/pages", "wininst"]


def layer(path: str) -> int:
    """The layer of a path (of a file, or of an include): the deepest that holds it."""
    folder = str(Path(path).parent)
    for i in reversed(range(len(LAYERS))):
        if folder == LAYERS[i] or folder.startswith(LAYERS[i] + "/") and i != len(LAYERS) - 1:
            return i
    return len(LAYERS) - 1 if folder == "wininst" else -1


def main() -> int:
    broken = []
    for source in sorted(list(ROOT.glob("common/*.[ch]*")) + list(ROOT.glob("wininst/**/*.[ch]*"))):
        own = layer(str(source.relative_to(ROOT)))
        for n, line in enumerate(source.read_text(errors="replace").splitlines(), 1):
            m = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
            if m and layer(m.group(1)) > own:
                broken.append(f"{source.relative_to(ROOT)}:{n}: includes {m.group(1)} from a layer above its own")
    print("\n".join(broken) or f"layers hold: {' <- '.join(reversed(LAYERS))}")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
