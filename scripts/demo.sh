#!/usr/bin/env bash
# The main job: sets up .venv-demo (a Python >= 3.12 found on its own, or the
# one PYTHON names), installs the demo's requirements (NumPy, scikit-learn,
# LightGBM, XGBoost, matplotlib), builds the module into it, and trains the
# reference learner beside its peers (examples/demo.py). Extra arguments go to
# the demo: --quick for a short run, --rows N for the generated data size.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh" "$root/.venv-demo" "$root/requirements/demo.txt"
exec "$root/.venv-demo/bin/python" "$root/examples/demo.py" "$@"
