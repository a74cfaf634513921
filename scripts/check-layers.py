#!/usr/bin/env python3
"""Checks that every folder of agent/src includes only the folders below it.

The table lists, for each source folder, the include prefixes its files may
use. Folders are layers from the bottom up; a folder may always include its
own files. An include of another project folder that is not in its row is an
error, printed as "<file>:<line>: <folder> may not include <path>". A file in
a folder without a row is an error too, so new folders get a row when they
are made. Exit status: 0 when clean, 1 otherwise.

    scripts/check-layers.py [repository root]
"""
import pathlib
import re
import sys

BASE = ["core/base/"]
HOST = BASE + ["core/host/"]
CAPTURE = BASE + ["capture/"]
ENCODE = BASE + ["capture/captured_frame.h", "encode/"]
TRANSPORT = BASE + ["network/transport/"]
CONTROL = BASE + ["network/control/"]
BACKEND = BASE + ["network/backend/"]

# folder -> allowed include prefixes (its own folder included)
ALLOWED = {
    "core/base": BASE,
    "core/host": HOST,
    "capture": CAPTURE,
    "encode": ENCODE,
    "network/transport": TRANSPORT,
    "network/control": CONTROL,
    "network/backend": BACKEND,
    "audio": TRANSPORT + ["audio/"],
    "input": BASE + ["input/"],
    "isolation": BASE + ["isolation/"],
    "core/session": HOST + ["capture/", "encode/", "network/", "audio/", "input/", "isolation/", "core/session/"],
    "core": HOST + ["network/", "core/session/", "core/agent_main.h"],
}

# The top-level folders an include can name; anything else (system and
# library headers in quotes, same-folder names) is not checked.
PROJECT_ROOTS = ("core/", "capture/", "encode/", "network/", "audio/", "input/", "isolation/")

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def folder_of(path: pathlib.Path, src: pathlib.Path) -> str:
    return path.parent.relative_to(src).as_posix()


def main() -> int:
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)
    src = root / "agent" / "src"
    errors = []
    files = sorted(p for p in src.rglob("*") if p.suffix in (".h", ".cpp"))
    if not files:
        print(f"check-layers: no sources under {src}")
        return 1
    for path in files:
        folder = folder_of(path, src)
        shown = path.relative_to(root).as_posix()
        allowed = ALLOWED.get(folder)
        if allowed is None:
            errors.append(f"{shown}: folder {folder} has no row in the layer table of scripts/check-layers.py")
            continue
        for number, line in enumerate(path.read_text(encoding="utf-8", errors="replace").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            target = match.group(1)
            if not target.startswith(PROJECT_ROOTS):
                continue
            if not any(target == prefix or target.startswith(prefix) for prefix in allowed):
                errors.append(f"{shown}:{number}: {folder} may not include {target}")
    for error in errors:
        print(error)
    if errors:
        print(f"check-layers: {len(errors)} include(s) against the layers")
        return 1
    print(f"check-layers: {len(files)} files keep to the layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
