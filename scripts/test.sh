#!/usr/bin/env bash
# Sets up .venv (Python >= 3.12, NumPy, pytest, hypothesis), builds the module
# and runs the test suite. Extra arguments go to pytest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh" "$root/.venv" "$root/requirements/test.txt"
cd "$root"
exec "$root/.venv/bin/python" -m pytest "$@"
