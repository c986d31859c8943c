import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

import pytest  # noqa: E402


@pytest.fixture
def panic_type():
    """The PanicException class, obtained from a fault the module raises."""
    import numpy as np
    import tarnwick_native as tn

    try:
        tn.apply_tree(
            np.zeros((2, 2), order="F"),
            *[np.zeros(1, np.int32)] * 1,
            np.zeros(1),
            np.zeros(1, np.int32),
            np.zeros(1, np.int32),
            np.zeros(1, np.int32),
            np.zeros(1, bool),
            np.zeros(2, np.int64),
            np.zeros(0),
        )
    except BaseException as exc:  # noqa: BLE001 - this is how the type is reached
        if type(exc).__name__ == "PanicException":
            return type(exc)
        raise
    raise AssertionError("a column-major x did not fault")
