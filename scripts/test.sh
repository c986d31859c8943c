#!/usr/bin/env bash
# Sets up .venv (Python >= 3.12, the newest NumPy 2.x, pytest, hypothesis,
# pandas, mypy, ruff and clang-format), builds and installs the package (the
# learner, the module and its type stubs), checks
# formatting and lint (scripts/lint.sh) and runs the test suite. Extra
# arguments go to pytest.
#
# Without arguments (or with TARNWICK_MATRIX=1) it then covers the rest of the
# supported matrix with the compatibility subset (tests/test_build.py,
# tests/test_module.py, tests/test_conversion.py): of the cells Python 3.12 +
# NumPy 2.x, Python 3.12 + NumPy 1.26 and Python 3.13 + NumPy 2.x, every one
# that the main environment is not. The module is built once per Python
# version; the NumPy 1.26 cell runs the wheel built against NumPy 2. A cell
# whose interpreter is not on the machine is skipped with a warning.
# TARNWICK_MATRIX=0 runs the main environment only.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
main_venv="$root/.venv"
"$root/scripts/setup.sh" "$main_venv" "$root/requirements/test.txt"
cd "$root"

matrix="${TARNWICK_MATRIX:-}"
[ -n "$matrix" ] || { [ $# -eq 0 ] && matrix=1 || matrix=0; }

status=0
"$root/scripts/lint.sh" "$main_venv" || status=$?
"$main_venv/bin/python" -m pytest "$@" || status=$?
[ "$matrix" = 1 ] || exit "$status"

compat_tests=(tests/test_build.py tests/test_module.py tests/test_conversion.py)
summary=()

version_of() { "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'; }

# An interpreter of version $1 (e.g. 3.13), or nothing.
find_interpreter() {
    local want="$1" c
    local candidates=()
    if [ "$(version_of "$main_venv/bin/python")" = "$want" ]; then
        candidates+=("$("$main_venv/bin/python" -c 'import sys; print(sys._base_executable)')")
    fi
    candidates+=("python$want" "/usr/bin/python$want" "/usr/local/bin/python$want")
    if command -v pyenv >/dev/null 2>&1; then
        candidates+=($(ls -d "$(pyenv root)"/versions/"$want".*/bin/python"$want" 2>/dev/null | sort -rV))
    fi
    for c in "${candidates[@]}"; do
        if command -v "$c" >/dev/null 2>&1 && [ "$(version_of "$c" 2>/dev/null)" = "$want" ] \
            && "$c" -c 'import venv' >/dev/null 2>&1; then
            command -v "$c"; return
        fi
    done
}

skip_cell() {
    echo "########################################################################" >&2
    echo "# MATRIX CELL SKIPPED: Python $1 + $2: $3" >&2
    echo "########################################################################" >&2
    summary+=("Python $1 + $2: SKIPPED ($3)")
}

run_cell() {  # python, label
    local py="$1" label="$2" cell=0
    echo "=== compatibility subset on $label ($("$py" -c 'import numpy; print("NumPy", numpy.__version__)')) ==="
    # The stubs are checked once, on the main environment.
    "$py" -m pytest -q -p no:cacheprovider -k "not stubs" "${compat_tests[@]}" || cell=$?
    if [ "$cell" = 0 ]; then summary+=("$label: passed"); else summary+=("$label: FAILED"); status=1; fi
}

main_version="$(version_of "$main_venv/bin/python")"
summary+=("Python $main_version + NumPy 2.x: full suite (exit $status)")

# The NumPy 2 environment of each Python version: builds the module once.
numpy2_env() {  # version -> venv path (empty if no interpreter)
    local want="$1"
    if [ "$want" = "$main_version" ]; then echo "$main_venv"; return; fi
    local interp; interp="$(find_interpreter "$want")"
    [ -n "$interp" ] || return 0
    PYTHON="$interp" "$root/scripts/setup.sh" "$root/.venv-py$want" \
        "$root/requirements/test.txt" >&2
    echo "$root/.venv-py$want"
}

env312=""
for want in 3.12 3.13; do
    env="$(numpy2_env "$want")"
    [ "$want" = 3.12 ] && env312="$env"
    [ "$want" = "$main_version" ] && continue
    if [ -z "$env" ]; then skip_cell "$want" "NumPy 2.x" "no Python $want on this machine"; continue; fi
    run_cell "$env/bin/python" "Python $want + NumPy 2.x"
done

env="$env312"
if [ -z "$env" ]; then
    skip_cell 3.12 "NumPy 1.26" "no Python 3.12 on this machine"
else
    # The wheel of the NumPy 2 build (its build directory makes this a re-link
    # at most), installed beside NumPy 1.26.
    wheels="$root/build/wheels-py3.12"
    rm -rf "$wheels"
    "$env/bin/python" -m pip wheel --quiet --no-build-isolation --no-deps \
        --config-settings=build-dir="$root/build/$(basename "$env")" -w "$wheels" "$root"
    np1="$root/.venv-py3.12-numpy1"
    [ -x "$np1/bin/python" ] || "$("$env/bin/python" -c 'import sys; print(sys._base_executable)')" -m venv "$np1"
    "$np1/bin/python" -m pip install --quiet --upgrade pip
    "$np1/bin/python" -m pip install --quiet -r "$root/requirements/compat-numpy1.txt"
    "$np1/bin/python" -m pip install --quiet --no-deps --force-reinstall "$wheels"/*.whl
    run_cell "$np1/bin/python" "Python 3.12 + NumPy 1.26"
fi

echo "=== supported matrix ==="
printf '  %s\n' "${summary[@]}"
exit "$status"
