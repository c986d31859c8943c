#!/usr/bin/env bash
# Checks formatting and lint: ruff for Python, clang-format for C++, with the
# configurations committed in the repository. Runs the tools of the given
# virtual environment (default .venv, set up by scripts/test.sh).
#   scripts/lint.sh [VENV_DIR]
# To fix what it reports: ruff format . && ruff check --fix . and
# clang-format -i on the C++ files it names.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bin="${1:-$root/.venv}/bin"
cd "$root"
status=0
"$bin/ruff" check --quiet . || status=1
"$bin/ruff" format --check --quiet . || status=1
git ls-files -z --cached --others --exclude-standard -- '*.cpp' '*.hpp' \
    | xargs -0 -r "$bin/clang-format" --dry-run -Werror || status=1
[ "$status" = 0 ] || echo "formatting or lint failed (see scripts/lint.sh for the fix)" >&2
exit "$status"
