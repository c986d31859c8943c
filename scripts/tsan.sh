#!/usr/bin/env bash
# Builds the module with ThreadSanitizer into its own virtual environment and
# runs the tests that drive the worker pool from Python (several Python threads
# calling the parallel functions at once, faults inside workers, several pool
# sizes, a forked child).
#   scripts/tsan.sh [pytest args]     (default: tests/test_threads.py)
# TSAN_VENV names the environment (default .venv-tsan; its build directory is
# build/<its name>); PYTHON is honoured as by setup.sh.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${TSAN_VENV:-$root/.venv-tsan}"
SKBUILD_CMAKE_DEFINE="TARNWICK_TSAN=ON" \
    "$root/scripts/setup.sh" "$venv" "$root/requirements/test.txt"

# The interpreter is not instrumented, so the runtime of the compiler that
# built the module is preloaded. Its locks and threads are intercepted, which
# is all the module's accesses need to be ordered against Python's.
cache="$root/build/$(basename "$venv")/CMakeCache.txt"
cxx="$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$cache")"
runtime="$("${cxx:-g++}" -print-file-name=libtsan.so)"
[ -f "$runtime" ] || { echo "libtsan.so not found for ${cxx:-g++}" >&2; exit 1; }

cd "$root"
# Without a test path, the thread tests. (The pool's own harness tests in
# tests/test_pool.py build a ThreadSanitizer binary themselves and run in the
# normal suite; under a preloaded runtime they would see through no atomics of
# their uninstrumented programs and count its extra thread.)
given_path=0
for a in "$@"; do [ -e "${a%%::*}" ] && given_path=1; done
[ "$given_path" = 1 ] || set -- "$@" tests/test_threads.py
# Child interpreters of the tests inherit the preload, so a race found in
# one of them fails that test through the child's exit status.
export LD_PRELOAD="$runtime"
# allocator_may_return_null=1: an impossible buffer must fail as MemoryError,
#   as it does without the sanitizer, not stop the run.
# die_after_fork=0: a child forked after the pool exists starts a pool of its
#   own, which is what the fork test checks.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:exitcode=66:allocator_may_return_null=1:die_after_fork=0"
exec "$venv/bin/python" -m pytest -s -p no:cacheprovider "$@"
