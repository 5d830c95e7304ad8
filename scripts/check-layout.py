#!/usr/bin/env python3
"""Checks the layering of src/: the include graph between folders has no
cycle, nothing in the engine (src/index, src/parallel) includes the binding,
and every source file of the engine and the binding has a header of the same
name beside it (module.cpp, the binding's entry point, the methods that
binding/methods.hpp declares and the functions that binding/functions.hpp
declares excepted). Prints the folder order, lowest first; exits 1 on a violation."""

import re
import sys
from pathlib import Path

SRC = Path(__file__).resolve().parent.parent / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder(path):
    return str(path.parent.relative_to(SRC))


def main():
    files = sorted(p for p in SRC.rglob("*") if p.suffix in (".hpp", ".cpp"))
    edges, problems = {}, []
    for f in files:
        edges.setdefault(folder(f), set())
        for target in INCLUDE.findall(f.read_text()):
            resolved = f.parent / target if (f.parent / target).exists() else SRC / target
            if not resolved.exists():
                problems.append(f'{f.relative_to(SRC)}: include "{target}" not found')
                continue
            a, b = folder(f), folder(resolved)
            if a.split("/")[0] in ("index", "parallel") and b.split("/")[0] == "binding":
                problems.append(f"{f.relative_to(SRC)}: the engine includes the binding ({target})")
            if a != b:
                edges[a].add(b)
        if f.suffix == ".cpp" and not f.with_suffix(".hpp").exists():
            exempt = f.name == "module.cpp" or folder(f) in ("binding/methods", "binding/functions", "parallel")
            if not exempt:
                problems.append(f"{f.relative_to(SRC)}: no header {f.stem}.hpp beside it")

    # Depth-first topological order; a grey node met again closes a cycle.
    order, state = [], {}

    def visit(node, path):
        if state.get(node) == "done":
            return
        if state.get(node) == "open":
            cycle = [*path[path.index(node) :], node]
            problems.append("folder cycle: " + " -> ".join(cycle))
            return
        state[node] = "open"
        for nxt in sorted(edges.get(node, ())):
            visit(nxt, [*path, node])
        state[node] = "done"
        order.append(node)

    for node in sorted(edges):
        visit(node, [])
    for p in problems:
        print(p, file=sys.stderr)
    if problems:
        return 1
    width = max(map(len, order))
    for node in order:
        uses = ", ".join(sorted(edges[node])) or "-"
        print(f"{node:<{width}}  uses {uses}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
