"""Module initialisation, function table and the fault path."""

import importlib
import inspect
import sys

import numpy as np
import pytest
import tarnwick_native as tn
from support import run_python

NAMES = [
    "build_histograms",
    "partition_rows",
    "find_best_split",
    "leaf_linear_stats",
    "leaf_linear_stats_mc",
    "predict_linear",
    "apply_tree",
]

PARAMETERS = {
    "build_histograms": ["binned", "rows", "grad", "hess", "n_bins_max"],
    "partition_rows": ["binned", "rows", "feature", "bin", "left_categories", "missing_bin"],
    "find_best_split": [
        "hist",
        "n_bins_per_feature",
        "min_samples_leaf",
        "l2",
        "categorical_mask",
        "cat_smooth",
        "min_data_per_group",
        "max_cat_threshold",
    ],
    "leaf_linear_stats": ["z", "grad", "hess", "order", "offsets", "linear"],
    "leaf_linear_stats_mc": ["z", "grad", "hess", "order", "offsets", "linear", "leaf_class"],
    "predict_linear": ["leaf_idx", "z", "bias", "weights", "z_min", "z_max", "clip"],
    "apply_tree": [
        "x",
        "feature",
        "threshold",
        "left",
        "right",
        "leaf_id",
        "missing_left",
        "cat_offsets",
        "cat_values",
    ],
}


def column_major_x_call():
    """An apply_tree call whose x is column-major: a contiguity fault."""
    one = np.zeros(1, np.int32)
    return lambda: tn.apply_tree(
        np.zeros((3, 2), order="F"),
        one,
        np.zeros(1),
        one,
        one,
        np.zeros(1, np.int32),
        np.zeros(1, bool),
        np.zeros(2, np.int64),
        np.zeros(0),
    )


def test_module_attributes_are_the_seven_functions_and_all():
    assert tn.__all__ == NAMES
    assert tn.__doc__ == ""
    own = {k for k in vars(tn) if not (k.startswith("__") and k.endswith("__"))}
    assert own == set(NAMES)
    assert "PanicException" not in vars(tn)


@pytest.mark.parametrize("name", NAMES)
def test_functions_carry_text_signatures(name):
    fn = getattr(tn, name)
    assert list(inspect.signature(fn).parameters) == PARAMETERS[name]
    assert fn.__self__ is tn
    assert fn.__module__ == "tarnwick_native"
    assert fn.__name__ == name
    if name in ("build_histograms", "find_best_split"):
        assert fn.__doc__ is None
    else:
        assert fn.__doc__ and not fn.__doc__.startswith(name)


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("tarnwick_native")
    try:
        second = importlib.import_module("tarnwick_native")
        assert second is first
        assert second.__all__ == NAMES
    finally:
        sys.modules["tarnwick_native"] = first


SUBINTERPRETER_SCRIPT = """
try:
    import tarnwick_native
    outcome = "imported"
except ImportError as exc:
    outcome = "ImportError: " + str(exc)
with open(PATH, "w") as f:
    f.write(outcome)
"""


def test_subinterpreter_import_is_refused(tmp_path):
    path = tmp_path / "outcome"
    script = SUBINTERPRETER_SCRIPT.replace("PATH", repr(str(path)))
    code = f"""
    import sys
    import tarnwick_native
    if sys.version_info >= (3, 13):
        import _interpreters as interp
        iid = interp.create(interp.new_config("legacy"))
    else:
        import _xxsubinterpreters as interp
        iid = interp.create(isolated=False)
    interp.run_string(iid, {script!r})
    print(tarnwick_native.__all__[0])
    """
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr.decode()
    assert proc.stdout.decode().split() == ["build_histograms"]
    outcome = path.read_text()
    assert outcome.startswith("ImportError: ")
    assert "subinterpreters" in outcome


def test_import_starts_no_threads_and_no_numpy():
    proc = run_python(
        """
        import os, sys
        import tarnwick_native
        print(len(os.listdir('/proc/self/task')), 'numpy' in sys.modules)
        """
    )
    assert proc.stdout.decode().split() == ["1", "False"]


def test_fault_is_panic_exception_outside_exception_hierarchy(panic_type):
    with pytest.raises(BaseException) as info:
        column_major_x_call()()
    exc = info.value
    assert type(exc) is panic_type
    assert not isinstance(exc, Exception)
    assert panic_type.__bases__ == (BaseException,)
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__module__ != "tarnwick_native"
    assert str(exc) == "X must be C-contiguous"
    assert exc.args == ("X must be C-contiguous",)
    assert panic_type.__doc__
    with pytest.raises(ImportError):
        importlib.import_module(panic_type.__module__)


def test_module_works_after_a_fault(panic_type):
    for _ in range(3):
        with pytest.raises(panic_type):
            column_major_x_call()()
    left, right = tn.partition_rows(
        np.array([[0, 1, 2]], np.uint16), np.arange(3, dtype=np.int64), 0, 0, None, 3
    )
    assert left.tolist() == [0] and right.tolist() == [1, 2]


def test_fault_diagnostic_and_one_time_hint_on_stderr():
    proc = run_python(
        """
        import numpy as np, tarnwick_native as tn
        one = np.zeros(1, np.int32)
        for _ in range(2):
            try:
                tn.apply_tree(np.zeros((3, 2), order="F"), one, np.zeros(1), one, one, one,
                              np.zeros(1, bool), np.zeros(2, np.int64), np.zeros(0))
            except BaseException as exc:
                print(type(exc).__name__)
        """
    )
    assert proc.stdout.decode().split() == ["PanicException"] * 2
    err = proc.stderr.decode()
    assert err.count("X must be C-contiguous") == 2
    assert err.count("panicked at src/") == 2
    assert err.count("note: to stop where a fault is raised") == 1


def test_memory_error_for_an_unobtainable_buffer():
    # 2**40 features x 2**20 bins does not fit; a representable but huge request
    # that the allocator refuses is a MemoryError, not a crash.
    binned = np.zeros((1, 1), np.uint16)
    rows = np.zeros(0, np.int64)
    with pytest.raises(MemoryError):
        tn.build_histograms(binned, rows, np.zeros(1), np.zeros(1), 2**58)
