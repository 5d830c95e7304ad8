"""Every benchmark scenario in one run: the same as ``python -m plovik bench``
(build, queries, epoch operations, reference, exact search, data shapes, plot).
Takes the same options, e.g. ``python benchmarks/run.py --n 100000``."""

import sys

from plovik.__main__ import main

if __name__ == "__main__":
    sys.exit(main(["bench", *sys.argv[1:]]))
