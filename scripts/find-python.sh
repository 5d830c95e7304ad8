#!/usr/bin/env bash
# Prints the path of a working Python 3.13 (or of $PYTHON when given) and
# says on stderr what it found. A pyenv shim named python3.13 can exist and
# still fail unless that version is active, so every candidate is run once.
set -u

works() { "$1" -c 'import sys, venv; sys.exit(0 if sys.version_info >= (3, 11) else 1)' >/dev/null 2>&1; }

candidates=()
if [ -n "${PYTHON:-}" ]; then
  candidates=("$PYTHON")
else
  candidates+=(/usr/bin/python3.13)
  if command -v pyenv >/dev/null 2>&1; then
    root=$(pyenv root 2>/dev/null)
    for p in "$root"/versions/3.13*/bin/python3.13; do candidates+=("$p"); done
  fi
  candidates+=(python3.13)
fi

for c in "${candidates[@]}"; do
  path=$(command -v "$c" 2>/dev/null) || continue
  if works "$path"; then
    echo "using $("$path" -c 'import sys; print(sys.version.split()[0])') at $path" >&2
    echo "$path"
    exit 0
  fi
done

if [ -n "${PYTHON:-}" ]; then
  echo "error: PYTHON=$PYTHON does not run (Python 3.11 or newer with venv is required)" >&2
else
  echo "error: no working Python 3.13 found (tried: ${candidates[*]}); pass one with PYTHON=/path/to/python" >&2
fi
exit 1
