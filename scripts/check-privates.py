#!/usr/bin/env python3
"""Checks that the modules of python/plovik keep to their own private names:
no module imports a `_`-prefixed name from another package module (the
compiled `plovik._native` aside: its underscored functions serve the
package), and no module reads or writes `obj._name` where `obj` is neither
`self` nor `cls`, unless `obj` is a plain name and `_name` is private to
the module itself (defined at its top level, or as an attribute or method of
a class it defines); `self._other._name` always counts.

Allowed besides: the private names that `_native.pyi` declares (the raw
classes' `_state` / `_from_state` and the module's functions: the protocol
that both raw classes, and the exact store after them, keep), and
attributes of modules from outside the package (`sys._getframe`). A module
whose own name starts with `_` (`plovik._timing`) is internal to the
package; its public names may be imported. Dunder names (`__x__`) are
public.

Also checked: the NumPy reference `plovik.lsh` is imported by no module but
lazily, inside `plovik.search.backend_class`, for `backend="reference"`: it
is the tests' independent yardstick, never a part the package runs on.
Prints each violation as file:line and exits 1 when there is one."""

import ast
import sys
from pathlib import Path

PACKAGE = Path(__file__).resolve().parent.parent / "python" / "plovik"
NATIVE = "plovik._native"
REFERENCE = "plovik.lsh"
# The one place that imports the reference: (module, enclosing function).
REFERENCE_IMPORTER = ("search", "backend_class")
STUB = PACKAGE / "_native.pyi"


def private(name):
    return name.startswith("_") and not (name.startswith("__") and name.endswith("__"))


def own_privates(tree):
    """The private names a module defines: at its top level, in a class body,
    or as `self._x` / `cls._x` assigned in one of its methods."""
    names = set()
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.Name) and isinstance(node.ctx, ast.Store):
            names.add(node.id)
        elif isinstance(node, ast.alias):
            names.add(node.asname or node.name.split(".")[0])
        elif (
            isinstance(node, ast.Attribute)
            and isinstance(node.ctx, ast.Store)
            and isinstance(node.value, ast.Name)
            and node.value.id in ("self", "cls")
        ):
            names.add(node.attr)
    return {n for n in names if private(n)}


def external_modules(tree):
    """Local names bound to modules from outside the package (`import sys`)."""
    return {
        (a.asname or a.name).split(".")[0]
        for node in ast.walk(tree)
        if isinstance(node, ast.Import)
        for a in node.names
        if not a.name.startswith("plovik")
    }


def native_aliases(tree):
    """Local names bound to the compiled module (`from plovik import _native`,
    `import plovik._native as x`)."""
    names = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and node.module == "plovik":
            names |= {a.asname or a.name for a in node.names if a.name == "_native"}
        elif isinstance(node, ast.Import):
            names |= {a.asname for a in node.names if a.name == NATIVE and a.asname}
    return names


def reference_imports(tree):
    """The imports of plovik.lsh in a module, with the function around each (None at the top)."""
    found = []

    def visit(node, function):
        for child in ast.iter_child_nodes(node):
            inner = child.name if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef)) else function
            if (
                isinstance(child, ast.ImportFrom)
                and (
                    child.module == REFERENCE
                    or (child.module == "plovik" and any(a.name == "lsh" for a in child.names))
                )
            ) or (isinstance(child, ast.Import) and any(a.name == REFERENCE for a in child.names)):
                found.append((child, function))
            visit(child, inner)

    visit(tree, None)
    return found


def check(path, protocol):
    tree = ast.parse(path.read_text(), str(path))
    own, native, external = own_privates(tree), native_aliases(tree), external_modules(tree)
    problems = []

    def report(node, text):
        problems.append(f"{path.relative_to(PACKAGE.parent.parent)}:{node.lineno}: {text}")

    for node, function in reference_imports(tree):
        if path.stem != "lsh" and (path.stem, function) != REFERENCE_IMPORTER:
            report(node, f"imports the reference {REFERENCE} (only {'.'.join(REFERENCE_IMPORTER)} may, lazily)")
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom):
            source = node.module or ""
            if node.level:  # relative imports resolve within the package
                source = "plovik." + source if source else "plovik"
            if not (source == "plovik" or source.startswith("plovik.")) or source == NATIVE:
                continue
            for alias in node.names:
                # `from plovik import _native` (or `_timing`) imports a module, not a private name
                submodule = source == "plovik" and (alias.name == "_native" or (PACKAGE / f"{alias.name}.py").exists())
                if private(alias.name) and not submodule:
                    report(node, f"imports the private name {alias.name} from {source}")
        elif isinstance(node, ast.Attribute) and private(node.attr):
            base = node.value
            if isinstance(base, ast.Name) and (base.id in ("self", "cls") or base.id in native | external):
                continue
            # a name the module owns, on an object it names directly (not one
            # reached through another object: `self._other._x` is the other's)
            if node.attr in protocol or (isinstance(base, ast.Name) and node.attr in own):
                continue
            report(node, f"uses the private attribute {node.attr} of {ast.unparse(base)}")
    return problems


def main():
    protocol = own_privates(ast.parse(STUB.read_text(), str(STUB)))
    problems = []
    for path in sorted(PACKAGE.glob("*.py")):
        problems += check(path, protocol)
    for p in problems:
        print(p)
    if problems:
        print(f"{len(problems)} problem(s): another module's private names, or the reference imported", file=sys.stderr)
        return 1
    print(
        f"private names: {len(list(PACKAGE.glob('*.py')))} modules keep to their own; "
        f"{REFERENCE} is imported for its backend only"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
