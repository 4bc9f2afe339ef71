#!/usr/bin/env python3
"""tools/check_layers.py: checks that the C++ sources keep to their floors.

Every directory of the tree stands on a floor. A file may include headers of its own directory
and of directories on lower floors; including from a higher floor, or from another directory of
the same floor, is refused. Inside a directory, files (a .cpp and its .hpp count as one) may not
include each other in a loop. The runtime and the client share only src/contract.

Usage: check_layers.py [ROOT]   (exit status 1 and one line per fault when the rule is broken)
"""
import pathlib
import re
import sys

# Lowest floor first. A floor may hold several directories that do not know each other.
FLOORS = [
    ["src/contract"],                  # what the runtime and the client agree on; includes nothing
    ["runtime", "src/dataarray"],      # the runtime library, and the client classes that reach it
    ["src/base"],                      # object layouts, references, guards, element kinds, limits
    ["src/core"],                      # storage, per-object array state, index items, object life
    ["src/construct"],                 # constructor arguments, initializers, scalar conversion
    ["src/protocols", "src/hostapi"],  # what Python and C++ hosts call
    ["src/module"],                    # the type objects and start-up, which name every slot
]
FLOOR_OF = {directory: level for level, dirs in enumerate(FLOORS) for directory in dirs}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def directory_of(path, root):
    """The floor directory a file belongs to (src/hostapi/kalvo belongs to src/hostapi)."""
    rel = path.relative_to(root).as_posix()
    for directory in FLOOR_OF:
        if rel.startswith(directory + "/"):
            return directory
    return None


def resolve(include, including, root):
    """The file an include names: beside the including file first, then under src/."""
    for candidate in (including.parent / include, root / "src" / include):
        if candidate.is_file():
            return candidate.resolve()
    return None


def unit(path):
    """A .cpp and the .hpp of the same name are one unit."""
    return path.with_suffix("")


def find_loops(edges):
    """Every loop of the unit graph, each reported once (Tarjan's strongly connected components)."""
    index, low, stack, on_stack, loops = {}, {}, [], set(), []

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for succ in edges.get(node, ()):
            if succ not in index:
                visit(succ)
                low[node] = min(low[node], low[succ])
            elif succ in on_stack:
                low[node] = min(low[node], index[succ])
        if low[node] == index[node]:
            component = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                component.append(member)
                if member == node:
                    break
            if len(component) > 1:
                loops.append(sorted(component))

    for node in list(edges):
        if node not in index:
            visit(node)
    return loops


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)
    root = root.resolve()
    faults, edges, checked = [], {}, 0
    for directory in FLOOR_OF:
        for path in sorted((root / directory).rglob("*")):
            if path.suffix not in (".cpp", ".hpp"):
                continue
            checked += 1
            here = directory_of(path, root)
            rel = path.relative_to(root).as_posix()
            for include in INCLUDE.findall(path.read_text()):
                target = resolve(include, path, root)
                if target is None:
                    faults.append(f"{rel}: includes \"{include}\", which is not in the tree")
                    continue
                there = directory_of(target, root)
                if there is None:
                    faults.append(f"{rel}: includes \"{include}\", which stands on no floor")
                elif there != here and FLOOR_OF[there] >= FLOOR_OF[here]:
                    where = "a higher floor" if FLOOR_OF[there] > FLOOR_OF[here] else "its own floor"
                    faults.append(f"{rel}: includes \"{include}\" from {where} ({there})")
                if unit(target) != unit(path.resolve()):
                    edges.setdefault(unit(path.resolve()), set()).add(unit(target))
    for loop in find_loops(edges):
        names = ", ".join(p.relative_to(root).as_posix() for p in loop)
        faults.append(f"files include each other in a loop: {names}")
    for fault in faults:
        print(fault)
    print(f"check_layers: {checked} files on {len(FLOORS)} floors, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
