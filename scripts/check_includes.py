#!/usr/bin/env python3
"""Checks that the includes under src/ follow the layers of ARCHITECTURE.md.

The layers are the fenced block under the heading "## Layers" of ARCHITECTURE.md: one line a
layer, the top first, each naming its folders of src/.  Every `#include "folder/file"` line of
a file below src/ may point into the file's own folder or into a folder of a lower layer.  It
fails when it points upward or sideways (into another folder of the same layer), when it names
a file that does not exist or a folder the layers do not list, and when files include one
another in a cycle.  Every fault is printed; the exit status is 1 when there is one.

usage: scripts/check_includes.py [ROOT]   (ROOT: the repository, by default the one holding
                                           this script)
"""
import re
import sys
from pathlib import Path

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def read_layers(architecture):
    """Folder -> layer number (0 the top), from the block under "## Layers"."""
    lines = architecture.read_text(encoding="utf-8").splitlines()
    try:
        start = lines.index("## Layers")
        fence = next(i for i in range(start + 1, len(lines)) if lines[i].startswith("```"))
        end = next(i for i in range(fence + 1, len(lines)) if lines[i].startswith("```"))
    except (ValueError, StopIteration):
        raise SystemExit(f"{architecture}: no fenced block under '## Layers'")
    layers = {}
    rows = [line.split() for line in lines[fence + 1:end] if line.strip()]
    for number, folders in enumerate(rows):
        for folder in folders:
            if folder in layers:
                raise SystemExit(f"{architecture}: folder {folder} is listed twice")
            layers[folder] = number
    return layers


def read_includes(src):
    """File (relative to src, as a str) -> [(line number, included name)]."""
    includes = {}
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".hpp", ".cpp", ".h", ".cc"):
            continue
        name = path.relative_to(src).as_posix()
        found = []
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            m = INCLUDE.match(line)
            if m:
                found.append((number, m.group(1)))
        includes[name] = found
    return includes


def folder_of(name):
    return name.split("/")[0] if "/" in name else ""


def find_cycle(graph):
    """One cycle of the file graph as a list of files (first == last), or None."""
    state = {}  # file -> 1 while on the path, 2 when done
    for root in graph:
        if root in state:
            continue
        path, stack = [root], [iter(graph[root])]
        state[root] = 1
        while stack:
            nxt = next(stack[-1], None)
            if nxt is None:
                state[path.pop()] = 2
                stack.pop()
            elif state.get(nxt) == 1:
                return path[path.index(nxt):] + [nxt]
            elif nxt not in state:
                state[nxt] = 1
                path.append(nxt)
                stack.append(iter(graph[nxt]))
    return None


def check(root):
    """The faults of the tree at `root`, as lines."""
    layers = read_layers(root / "ARCHITECTURE.md")
    includes = read_includes(root / "src")
    faults = []
    graph = {name: [] for name in includes}
    for name, found in includes.items():
        here = folder_of(name)
        if here not in layers:
            faults.append(f"src/{name}: folder '{here}' is in no layer of ARCHITECTURE.md")
            continue
        for number, target in found:
            where = f"src/{name}:{number}: includes \"{target}\""
            there = folder_of(target)
            if target not in includes:
                faults.append(f"{where}, which is no file below src/")
            elif there not in layers:
                faults.append(f"{where}: folder '{there}' is in no layer of ARCHITECTURE.md")
            elif there != here and layers[there] <= layers[here]:
                side = "sideways" if layers[there] == layers[here] else "upward"
                faults.append(f"{where}, pointing {side} ({here} -> {there})")
            if target in includes:
                graph[name].append(target)
    cycle = find_cycle(graph)
    if cycle:
        faults.append("include cycle: " + " -> ".join(cycle))
    return faults


def main(argv):
    root = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent.parent
    faults = check(root)
    for fault in faults:
        print(fault, file=sys.stderr)
    if faults:
        return 1
    print(f"includes follow the layers ({sum(1 for _ in (root / 'src').rglob('*.?pp'))} files)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
