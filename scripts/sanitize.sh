#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer into
# its own virtual environment and runs the whole test suite under them, with
# the long fuzzing profile. Extra arguments go to pytest.
#   scripts/sanitize.sh [pytest args]
# SANITIZE_VENV names the environment (default .venv-sanitize; its build
# directory is build/<its name>); PYTHON is honoured as by setup.sh.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${SANITIZE_VENV:-$root/.venv-sanitize}"
SKBUILD_CMAKE_DEFINE="TARNWICK_SANITIZE=ON" \
    "$root/scripts/setup.sh" "$venv" "$root/requirements/test.txt"

# The interpreter is not instrumented, so the runtimes of the compiler that
# built the module are preloaded (ASan must come first in the library list).
cache="$root/build/$(basename "$venv")/CMakeCache.txt"
cxx="$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$cache")"
runtime=()
for lib in libasan.so libubsan.so; do
    path="$("${cxx:-g++}" -print-file-name="$lib")"
    [ -f "$path" ] || { echo "sanitizer runtime $lib not found for ${cxx:-g++}" >&2; exit 1; }
    runtime+=("$path")
done

cd "$root"
# detect_leaks=0: the interpreter keeps much alive at exit by design; leaks of
#   the module are tested by tests/test_leaks.py instead.
# allocator_may_return_null=1: an impossible buffer must fail as MemoryError,
#   as it does without the sanitizer, not stop the run.
# PYTHONMALLOC=malloc: Python objects come from malloc too, so a reference
#   counting error of the module shows up as a use after free.
export LD_PRELOAD="${runtime[*]}"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:allocator_may_return_null=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONMALLOC=malloc
export TARNWICK_LONG_FUZZ=1
# Two tests of the pool cannot run here: its ThreadSanitizer harness does not
# start with the ASan runtime preloaded (scripts/tsan.sh covers races), and an
# address-space limit leaves no room for ASan's shadow memory.
exec "$venv/bin/python" -m pytest -s -p no:cacheprovider \
    --deselect tests/test_pool.py::test_no_data_race_under_thread_sanitizer \
    --deselect tests/test_pool.py::test_failed_pool_creation_raises_every_time "$@"
