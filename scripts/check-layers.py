#!/usr/bin/env python3
"""Fails when a source file under src/ includes a header of a layer above its own.

Includes of our own headers are rooted at src/ ("tracking/Trkg.h"), so the folder names the
layer. Lowest first; a folder may include from its own layer and from those below it:

  common < settings < refdata < ranking, script < tracking < tracking/feed, tracking/dde
         < app < ui < kestrel

ranking and script stand beside each other and include neither. A header named without a
folder is an error too: it could only be found beside the file, past the rule.
Usage: check-layers.py [SRC_DIR]
"""
import os
import re
import sys

RANK = {
    "common": 0, "settings": 1, "refdata": 2, "ranking": 3, "script": 3, "tracking": 4,
    "tracking/feed": 5, "tracking/dde": 5, "app": 6, "ui": 7, "kestrel": 8,
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of(path):
    """The layer a path under src/ belongs to: its folder, or its folder and sub-folder."""
    parts = path.split("/")
    two = "/".join(parts[:2])
    return two if two in RANK else parts[0]


def main():
    src = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "src")
    src = os.path.normpath(src)
    faults = []
    for folder, _, files in os.walk(src):
        for name in sorted(files):
            if not name.endswith((".h", ".cpp")):
                continue
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, src).replace(os.sep, "/")
            own = layer_of(rel)
            if own not in RANK:
                faults.append(f"{rel}: folder {own!r} is in no layer")
                continue
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
            for target in INCLUDE.findall(text):
                if "/" not in target:
                    if not target.startswith("ui_") and not target.startswith("moc_"):
                        faults.append(f"{rel}: includes \"{target}\" without its folder")
                    continue
                theirs = layer_of(target)
                if theirs not in RANK:
                    faults.append(f"{rel}: includes \"{target}\" from outside the layers")
                elif RANK[theirs] > RANK[own] or (RANK[theirs] == RANK[own] and theirs != own
                                                  and not theirs.startswith(own + "/")):
                    faults.append(f"{rel} ({own}) includes \"{target}\" ({theirs}): upwards")
    for fault in faults:
        print("check-layers: " + fault)
    if faults:
        return 1
    print(f"check-layers: no include runs up the layers in {src}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
