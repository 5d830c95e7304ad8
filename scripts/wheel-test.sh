#!/usr/bin/env bash
# Tests a built wheel as a user gets it: installs the newest plovik wheel of
# dist/ for this interpreter and processor into a fresh venv, with its test
# extras from the package index, while no compiler or build tool can be
# reached, and runs the test suite against it from a directory outside the
# source tree, so that only the installed package can be imported.
# Usage: scripts/wheel-test.sh [pytest arguments]   (PYTHON= as for make)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

interp=$(PYTHON="${PYTHON:-}" "$root/scripts/find-python.sh")
tag=$("$interp" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
wheel=$(ls -t "$root"/dist/plovik-*-"$tag-$tag"-manylinux*_"$(uname -m)".whl 2>/dev/null | head -n 1 || true)
if [ -z "$wheel" ]; then
  echo "error: no manylinux wheel for $tag on $(uname -m) in dist/ (make wheel builds one)" >&2
  exit 1
fi
echo "testing $wheel"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$interp" -m venv "$work/venv"
venv="$work/venv"

# Nothing can be compiled: PATH holds the venv alone, CC and CXX fail, and
# pip takes wheels only, so an sdist anywhere in the dependencies is an error
# rather than a silent build.
run() { env PATH="$venv/bin" CC=false CXX=false "$@"; }
for tool in cc c++ gcc g++ clang clang++ cmake ninja; do
  if run /bin/sh -c "command -v $tool" >/dev/null 2>&1; then
    echo "error: $tool is reachable from the test environment" >&2
    exit 1
  fi
done
run "$venv/bin/python" -m pip install --quiet --only-binary=:all: "$wheel[test]"

# The tests and their pytest settings, alone in a directory of their own,
# with the examples and the pages whose code the tests run.
mkdir "$work/run"
cp -r "$root/tests" "$root/pyproject.toml" "$root/examples" "$root/docs" "$root/README.md" "$work/run/"
cd "$work/run"
run "$venv/bin/python" - "$venv" <<'EOF'
import os, sys
import plovik, plovik._native
site = os.path.realpath(sys.argv[1])
for module in (plovik, plovik._native):
    path = os.path.realpath(module.__file__)
    print(f"{module.__name__}: {path}")
    if not path.startswith(site + os.sep):
        sys.exit(f"error: {module.__name__} was not imported from the installed wheel")
EOF
run "$venv/bin/pytest" "$@"
