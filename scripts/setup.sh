#!/usr/bin/env bash
# Creates (or refreshes) a virtual environment with a Python >= 3.12, installs
# the requirements named on the command line, and builds the module into it.
#   scripts/setup.sh VENV_DIR REQUIREMENTS_FILE...
# PYTHON, if set, names the interpreter to use.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="$1"; shift

is_recent_python() {
    "$1" -c 'import sys, venv; sys.exit(sys.version_info < (3, 12))' >/dev/null 2>&1
}

find_python() {
    if [ -n "${PYTHON:-}" ]; then
        is_recent_python "$PYTHON" || { echo "PYTHON=$PYTHON is not a Python >= 3.12" >&2; exit 1; }
        command -v "$PYTHON"; return
    fi
    local candidates=(python3 python3.13 python3.12 /usr/bin/python3)
    if command -v pyenv >/dev/null 2>&1; then
        local pyroot; pyroot="$(pyenv root)"
        # pyenv's versioned shims only work with PYENV_VERSION set: use the binaries.
        candidates+=($(ls -d "$pyroot"/versions/3.1[2-9]*/bin/python3 2>/dev/null | sort -rV))
    fi
    for c in "${candidates[@]}"; do
        if is_recent_python "$c"; then command -v "$c"; return; fi
    done
    echo "no Python >= 3.12 found; set PYTHON to one" >&2
    exit 1
}

if [ ! -x "$venv/bin/python" ] || ! is_recent_python "$venv/bin/python"; then
    rm -rf "$venv"
    "$(find_python)" -m venv "$venv"
fi
py="$venv/bin/python"
"$py" -m pip install --quiet --upgrade pip
reqs=()
for r in "$@"; do reqs+=(-r "$r"); done
"$py" -m pip install --quiet "${reqs[@]}"
# An incremental build directory per venv keeps rebuilds short.
"$py" -m pip install --quiet --no-build-isolation --no-deps \
    --config-settings=build-dir="$root/build/$(basename "$venv")" "$root"
