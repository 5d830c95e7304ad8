#!/usr/bin/env bash
# Runs a command (the test suite) against an extension built with a
# sanitizer, with the sanitizer's runtime preloaded into the interpreter.
#
#   scripts/sanitized.sh address COMMAND...   AddressSanitizer, LeakSanitizer, UBSan
#   scripts/sanitized.sh thread COMMAND...    ThreadSanitizer
#
# The interpreter is not instrumented, so the runtime must be the first
# library loaded (LD_PRELOAD). libstdc++ is preloaded with it because the
# runtime looks up the C++ functions it intercepts (__cxa_throw) when it
# starts, before the extension has pulled libstdc++ in; without it the first
# C++ exception aborts the process. Every report ends the process with a
# non-zero status, in child interpreters too (they inherit the environment).
set -euo pipefail

kind=${1:?usage: $0 address|thread COMMAND...}
shift
cxx=${CXX:-g++}
here=$(cd "$(dirname "$0")/.." && pwd)
runtime_of() {
  local path
  path=$("$cxx" -print-file-name="$1")
  if [ ! -e "$path" ]; then
    echo "error: $cxx knows no $1; install the sanitizer runtime (libasan8, libubsan1, libtsan2)" >&2
    exit 1
  fi
  echo "$path"
}
libstdcxx=$(runtime_of libstdc++.so)

case "$kind" in
  address)
    export LD_PRELOAD="$(runtime_of libasan.so) $libstdcxx"
    # allocator_may_return_null: an impossible allocation fails as it would
    # without the sanitizer (MemoryError), instead of ending the process.
    # intercept_tls_get_addr=0: GCC 12's LeakSanitizer misreads the dynamic
    # TLS of threads started by an extension module under this glibc and
    # crashes while scanning it at exit; thread stacks and static TLS are
    # still scanned.
    export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:intercept_tls_get_addr=0:check_initialization_order=1"
    export LSAN_OPTIONS="suppressions=$here/tests/sanitizers/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
    # Every Python object becomes a malloc block: LeakSanitizer then sees
    # (and scans) the interpreter's objects instead of pymalloc arenas it
    # cannot look into, so a buffer held by a live object is not reported.
    export PYTHONMALLOC=malloc
    ;;
  thread)
    export LD_PRELOAD="$(runtime_of libtsan.so) $libstdcxx"
    export TSAN_OPTIONS="halt_on_error=1:allocator_may_return_null=1:second_deadlock_stack=1:suppressions=$here/tests/sanitizers/tsan.supp"
    ;;
  *)
    echo "usage: $0 address|thread COMMAND..." >&2
    exit 2
    ;;
esac

export PLOVIK_SANITIZER="$kind"
exec "$@"
