"""The built module as a whole: no fused multiply-add in its machine code, type
stubs that match it, and a smoke run of all seven functions on small inputs.

This file is also the compatibility subset that scripts/test.sh runs on the
other cells of the supported matrix (with test_module.py and test_conversion.py).
"""

import importlib.metadata
import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest
import tarnwick_native as tn
from test_fuzz import NAMES, assert_same, reference_outcome

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "stubs" / "tarnwick_native-stubs" / "__init__.pyi"
# FMA3 and FMA4 in every width, AVX-512 forms included: vfmadd132pd,
# vfmaddsub231ps, vfnmsub213sd, vfmaddpd, ...
FUSED = re.compile(r"\bvfn?m(?:add|sub)\w*")


def test_module_has_no_fused_multiply_add():
    """Each product is rounded before it is added: a contracted multiply-add
    anywhere in the library would change the bits of a sum."""
    objdump = shutil.which("objdump")
    if objdump is None:
        pytest.skip("objdump is not installed")
    listing = subprocess.run(
        [objdump, "-d", "--no-show-raw-insn", tn.__file__],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    # The disassembly really holds the arithmetic of the kernels.
    assert re.search(r"\bv?mul[sp]d\b", listing) and re.search(r"\bv?add[sp]d\b", listing)
    found = sorted(set(FUSED.findall(listing)))
    assert not found, f"fused multiply-add instructions in {tn.__file__}: {found}"


def test_fused_pattern_catches_every_form():
    for mnemonic in [
        "vfmadd132pd",
        "vfmadd231sd",
        "vfmsub213ps",
        "vfnmadd231pd",
        "vfnmsub132ss",
        "vfmaddsub231pd",
        "vfmsubadd132ps",
        "vfmaddpd",
    ]:
        assert FUSED.search(f"  1234:\t{mnemonic} %ymm1,%ymm2,%ymm3")
    for mnemonic in ["vmulpd", "vaddsd", "vfixupimmpd", "vmovapd"]:
        assert not FUSED.search(f"  1234:\t{mnemonic} %ymm1,%ymm2,%ymm3")


def small_args():
    """Valid calls of each function on tiny inputs, one per function."""
    i64, f64 = np.int64, np.float64
    binned = np.array([[0, 1, 2, 1], [2, 2, 0, 1]], np.uint16)
    rows = np.array([3, 0, 1, 1], i64)
    grad = np.array([0.5, -1.0, 2.0, 0.25])
    hess = np.array([1.0, 2.0, 0.5, 1.5])
    hist = tn.build_histograms(binned, rows, grad, hess, 4)
    z = np.array([[1.0, -2.0], [0.5, 3.0], [-1.0, 0.0], [2.0, 2.0]])
    order, offsets, linear = (
        np.array([0, 2, 1, 3], i64),
        np.array([0, 2, 4], i64),
        np.array([1, 0], i64),
    )
    return {
        "build_histograms": (binned, rows, grad, hess, 4),
        "partition_rows": (binned, rows, 1, 1, None, 3),
        "find_best_split": (
            hist,
            np.array([3, 2], i64),
            1,
            0.5,
            np.array([False, True]),
            1.0,
            1,
            4,
        ),
        "leaf_linear_stats": (z, grad, hess, order, offsets, linear),
        "leaf_linear_stats_mc": (
            z,
            np.stack([grad, hess], 1),
            np.stack([hess, grad], 1),
            order,
            offsets,
            linear,
            np.array([1, 0], i64),
        ),
        "predict_linear": (
            np.array([1, 0, 1], i64),
            z,
            np.array([0.5, -0.5]),
            np.array([[1.0, 2.0], [0.25, -1.0]]),
            np.full((2, 2), -1.0),
            np.full((2, 2), 1.0),
            True,
        ),
        "apply_tree": (
            z,
            np.array([0, 1, 0], np.int32),
            np.array([0.75, 0.0, 0.0], f64),
            np.array([1, 0, 0], np.int32),
            np.array([2, 0, 0], np.int32),
            np.array([-1, 4, 7], np.int32),
            np.array([True, False, False]),
            np.zeros(4, i64),
            np.zeros(0),
        ),
    }


@pytest.mark.parametrize("name", NAMES)
def test_each_function_on_small_inputs(name):
    args = small_args()[name]
    kind, want = reference_outcome(name, args)
    assert kind == "value"
    got = getattr(tn, name)(*args)
    assert_same(got, want)
    arrays = (
        [got]
        if isinstance(got, np.ndarray)
        else [a for a in (got or ()) if isinstance(a, np.ndarray)]
    )
    for a in arrays:
        assert type(a) is np.ndarray and type(a.base).__name__ == "PySliceContainer"
        assert not a.flags.owndata


def test_split_of_the_small_node_is_a_real_split():
    split = tn.find_best_split(*small_args()["find_best_split"])
    assert split is not None and split[3] + split[4] == 4


def run_mypy(args, stub_dir, cwd):
    env = dict(os.environ)
    # The runtime module, wherever this interpreter found it.
    env["PYTHONPATH"] = os.pathsep.join(
        [str(Path(tn.__file__).parent), *filter(None, [env.get("PYTHONPATH")])]
    )
    if stub_dir is not None:
        env["MYPYPATH"] = str(stub_dir)
    else:
        env.pop("MYPYPATH", None)
    return subprocess.run(
        [sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd, env=env, timeout=600
    )


@pytest.fixture(scope="module")
def stub_dir(tmp_path_factory):
    pytest.importorskip("mypy")
    path = tmp_path_factory.mktemp("stubs")
    shutil.copy(STUB, path / "tarnwick_native.pyi")
    return path


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    """One cache for the mypy runs here, so NumPy's stubs are analysed once."""
    pytest.importorskip("mypy")
    return tmp_path_factory.mktemp("mypy_cache")


def test_stubs_match_the_module(stub_dir):
    proc = run_mypy(["mypy.stubtest", "tarnwick_native"], stub_dir, stub_dir.parent)
    assert proc.returncode == 0, proc.stdout + proc.stderr


USAGE = """
import numpy as np
from numpy.typing import NDArray
import tarnwick_native as tn

binned = np.zeros((2, 3), np.uint16)
rows = np.arange(3, dtype=np.int64)
grad = np.zeros(3)
hist: NDArray[np.float64] = tn.build_histograms(binned, rows, grad, grad, 4)
left, right = tn.partition_rows(binned, rows, 0, 1, None, 3)
ids: NDArray[np.int64] = left
split = tn.find_best_split(hist, np.array([2, 2]), 1, 0.0, np.zeros(2, np.bool_), 1.0, 1, 4)
if split is not None:
    feature, bin, gain, n_left, n_right, cats = split
    total: int = feature + bin + n_left + n_right
    score: float = gain
    chosen: list[int] | None = cats
stats = tn.leaf_linear_stats(np.zeros((3, 2)), grad, grad, rows, rows, rows[:1])
gram: NDArray[np.float64] = stats[3]
mc = tn.leaf_linear_stats_mc(np.zeros((3, 2)), np.zeros((3, 2)), np.zeros((3, 2)), rows, rows,
                             rows[:1], rows)
z_max: NDArray[np.float64] = mc[6]
pred: NDArray[np.float64] = tn.predict_linear(rows, np.zeros((3, 2)), grad, np.zeros((3, 2)),
                                              np.zeros((3, 2)), np.zeros((3, 2)), np.True_)
leaves: NDArray[np.int64] = tn.apply_tree(np.zeros((3, 2)), np.zeros(1, np.int32), grad,
                                          np.zeros(1, np.int32), np.zeros(1, np.int32),
                                          np.zeros(1, np.int32), np.zeros(1, np.bool_), rows,
                                          grad)
"""

MISUSE = """
import numpy as np
from numpy.typing import NDArray
import tarnwick_native as tn

rows = np.arange(3, dtype=np.int64)
tn.build_histograms(np.zeros((2, 3), np.uint16), rows, np.zeros(3), np.zeros(3), 4.0)
leaves: NDArray[np.float64] = tn.apply_tree(np.zeros((3, 2)), np.zeros(1, np.int32), np.zeros(3),
                                            np.zeros(1, np.int32), np.zeros(1, np.int32),
                                            np.zeros(1, np.int32), np.zeros(1, np.bool_), rows,
                                            np.zeros(3))
split = tn.find_best_split(np.zeros((1, 1, 3)), rows, 1, 0.0, np.zeros(1, np.bool_), 1.0, 1, 4)
split[0]
tn.predict_linear(rows, np.zeros((3, 2)), np.zeros(3), np.zeros((3, 2)), np.zeros((3, 2)),
                  np.zeros((3, 2)), 1)
"""


def test_stubs_type_a_correct_caller_and_reject_misuse(stub_dir, mypy_cache, tmp_path):
    (tmp_path / "usage.py").write_text(textwrap.dedent(USAGE))
    (tmp_path / "misuse.py").write_text(textwrap.dedent(MISUSE))
    proc = run_mypy(
        ["mypy", "--strict", "--cache-dir", str(mypy_cache), "usage.py", "misuse.py"],
        stub_dir,
        tmp_path,
    )
    assert "usage.py" not in proc.stdout + proc.stderr, proc.stdout + proc.stderr
    flagged = sorted({int(m) for m in re.findall(r"misuse\.py:(\d+): error", proc.stdout)})
    # n_bins_max=4.0, the int64 result taken as float64, indexing a split that
    # may be None, and clip=1.
    assert flagged == [7, 8, 13, 15], proc.stdout + proc.stderr


def test_installed_package_carries_the_stubs_and_is_typed(mypy_cache, tmp_path):
    """A plain install gives mypy the module's types: the wheel carries the
    stub package beside the module and marks the learner as typed."""
    files = {str(f) for f in importlib.metadata.distribution("tarnwick").files}
    assert "tarnwick_native-stubs/__init__.pyi" in files
    assert "tarnwick/py.typed" in files
    stubtest = run_mypy(["mypy.stubtest", "tarnwick_native"], None, tmp_path)
    assert stubtest.returncode == 0, stubtest.stdout + stubtest.stderr
    (tmp_path / "use.py").write_text(
        "import tarnwick_native as tn\nreveal_type(tn.find_best_split)\n"
    )
    proc = run_mypy(["mypy", "--strict", "--cache-dir", str(mypy_cache), "use.py"], None, tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "-> tuple[int, int, float, int, int, list[int] | None] | None" in proc.stdout, (
        proc.stdout
    )
