"""Argument matching, conversion errors and result arrays, shared by all seven functions."""

import sys

import numpy as np
import pytest
import tarnwick_native as tn


def hist_args(**overrides):
    args = dict(
        binned=np.zeros((2, 4), np.uint16),
        rows=np.arange(4, dtype=np.int64),
        grad=np.ones(4),
        hess=np.ones(4),
        n_bins_max=3,
    )
    args.update(overrides)
    return args


def partition_args(**overrides):
    args = dict(
        binned=np.array([[0, 1, 2, 3]], np.uint16),
        rows=np.arange(4, dtype=np.int64),
        feature=0,
        bin=1,
        left_categories=None,
        missing_bin=3,
    )
    args.update(overrides)
    return args


def split_args(**overrides):
    args = dict(
        hist=np.zeros((1, 3, 3)),
        n_bins_per_feature=np.array([2], np.int64),
        min_samples_leaf=1,
        l2=0.0,
        categorical_mask=np.zeros(1, bool),
        cat_smooth=1.0,
        min_data_per_group=1,
        max_cat_threshold=4,
    )
    args.update(overrides)
    return args


def predict_args(**overrides):
    args = dict(
        leaf_idx=np.zeros(2, np.int64),
        z=np.ones((2, 1)),
        bias=np.array([0.5]),
        weights=np.array([[2.0]]),
        z_min=np.array([[0.0]]),
        z_max=np.array([[1.0]]),
        clip=False,
    )
    args.update(overrides)
    return args


def message(excinfo):
    return str(excinfo.value)


class TestMatching:
    def test_too_many_positional(self):
        with pytest.raises(TypeError) as e:
            tn.build_histograms(*hist_args().values(), 7)
        assert message(e) == "build_histograms() takes 5 positional arguments but 6 were given"

    def test_one_positional_too_many_keywords_not_looked_at(self):
        with pytest.raises(TypeError) as e:
            tn.find_best_split(*split_args().values(), 1, bogus=3)
        assert message(e) == "find_best_split() takes 8 positional arguments but 9 were given"

    def test_unexpected_keyword(self):
        with pytest.raises(TypeError) as e:
            tn.build_histograms(**hist_args(), bins=3)
        assert message(e) == "build_histograms() got an unexpected keyword argument 'bins'"

    def test_multiple_values(self):
        one = np.zeros(1, np.int32)
        with pytest.raises(TypeError) as e:
            tn.apply_tree(np.zeros((1, 1)), one, x=np.zeros((1, 1)))
        assert message(e) == "apply_tree() got multiple values for argument 'x'"

    @pytest.mark.parametrize(
        "given, expected",
        [
            (7, "find_best_split() missing 1 required positional argument: 'max_cat_threshold'"),
            (
                6,
                "find_best_split() missing 2 required positional arguments: "
                "'min_data_per_group' and 'max_cat_threshold'",
            ),
            (
                0,
                "find_best_split() missing 8 required positional arguments: 'hist', "
                "'n_bins_per_feature', 'min_samples_leaf', 'l2', 'categorical_mask', "
                "'cat_smooth', 'min_data_per_group', and 'max_cat_threshold'",
            ),
        ],
    )
    def test_missing_arguments_are_all_listed(self, given, expected):
        with pytest.raises(TypeError) as e:
            tn.find_best_split(*list(split_args().values())[:given])
        assert message(e) == expected

    def test_missing_between_keywords(self):
        args = split_args()
        for name in ("l2", "cat_smooth", "max_cat_threshold"):
            del args[name]
        with pytest.raises(TypeError) as e:
            tn.find_best_split(**args)
        assert message(e) == (
            "find_best_split() missing 3 required positional arguments: "
            "'l2', 'cat_smooth', and 'max_cat_threshold'"
        )

    def test_left_categories_must_be_given(self):
        args = partition_args()
        del args["left_categories"]
        with pytest.raises(TypeError) as e:
            tn.partition_rows(**args)
        assert message(e) == (
            "partition_rows() missing 1 required positional argument: 'left_categories'"
        )

    def test_keywords_in_any_order(self):
        args = partition_args()
        left, right = tn.partition_rows(**dict(reversed(list(args.items()))))
        assert left.tolist() == [0, 1, 3] and right.tolist() == [2]


ARRAY_ERROR = "'{}' object cannot be converted to 'PyArray<T, D>'"


class TestArrays:
    @pytest.mark.parametrize(
        "name, value, type_name",
        [
            ("rows", [0, 1], "list"),
            ("rows", np.arange(4, dtype=np.int32), "ndarray"),
            ("grad", np.ones(4, np.float32), "ndarray"),
            ("grad", np.ones((4, 1)), "ndarray"),
            ("grad", np.float64(1.0), "float64"),
            ("hess", np.ones(4, dtype=">f8"), "ndarray"),
            ("binned", np.zeros((2, 4), np.int16), "ndarray"),
            ("binned", None, "NoneType"),
        ],
    )
    def test_wrong_array_names_type_only(self, name, value, type_name):
        with pytest.raises(TypeError) as e:
            tn.build_histograms(**hist_args(**{name: value}))
        assert message(e) == f"argument '{name}': " + ARRAY_ERROR.format(type_name)

    def test_bool_array_requires_bool_dtype(self):
        with pytest.raises(TypeError) as e:
            tn.find_best_split(**split_args(categorical_mask=np.zeros(1, np.uint8)))
        assert message(e) == "argument 'categorical_mask': " + ARRAY_ERROR.format("ndarray")

    def test_first_failure_in_signature_order_wins(self):
        with pytest.raises(TypeError) as e:
            tn.build_histograms(**hist_args(grad=[1.0], rows=[0], n_bins_max="x"))
        assert message(e).startswith("argument 'rows': ")

    def test_aliases_subclasses_and_read_only_arrays_pass(self):
        class Sub(np.ndarray):
            pass

        grad = np.ones(4)
        grad.flags.writeable = False
        rows = np.arange(4, dtype=np.longlong).view(Sub)
        hist = tn.build_histograms(**hist_args(grad=grad, rows=rows))
        assert hist.shape == (2, 3, 3)

    def test_same_array_for_two_parameters(self):
        same = np.ones(4)
        hist = tn.build_histograms(**hist_args(grad=same, hess=same))
        assert hist[0, 0].tolist() == [4.0, 4.0, 4.0]

    def test_misaligned_input_reads_the_same_values(self):
        raw = np.zeros(4 * 8 + 1, np.uint8)
        grad = np.frombuffer(raw.data, dtype=np.float64, count=4, offset=1)
        assert not grad.flags.aligned
        grad_aligned = np.array([1.5, -2.0, 0.25, 8.0])
        raw[1:] = np.frombuffer(grad_aligned.tobytes(), np.uint8)
        a = tn.build_histograms(**hist_args(grad=grad))
        b = tn.build_histograms(**hist_args(grad=grad_aligned))
        assert a.tobytes() == b.tobytes()

    def test_optional_array_accepts_none_and_converts_others(self):
        tn.partition_rows(**partition_args(left_categories=None))
        with pytest.raises(TypeError) as e:
            tn.partition_rows(**partition_args(left_categories=[1, 2]))
        assert message(e) == "argument 'left_categories': " + ARRAY_ERROR.format("list")


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floatable:
    def __float__(self):
        return 2.5


class TestScalars:
    def test_unsigned_size(self):
        assert tn.build_histograms(**hist_args(n_bins_max=Indexable(3))).shape == (2, 3, 3)
        assert tn.build_histograms(**hist_args(n_bins_max=np.int64(3))).shape == (2, 3, 3)
        with pytest.raises(OverflowError) as e:
            tn.build_histograms(**hist_args(n_bins_max=-1))
        assert not message(e).startswith("argument")
        with pytest.raises(OverflowError):
            tn.build_histograms(**hist_args(n_bins_max=2**64))
        with pytest.raises(TypeError) as e:
            tn.build_histograms(**hist_args(n_bins_max=3.0))
        assert message(e).startswith("argument 'n_bins_max': ")

    @pytest.mark.parametrize("value", [70000, -1, 65536])
    def test_unsigned_16_range(self, value):
        with pytest.raises(OverflowError) as e:
            tn.partition_rows(**partition_args(missing_bin=value))
        assert message(e) == "out of range integral type conversion attempted"

    def test_unsigned_16_upper_end_accepted(self):
        left, right = tn.partition_rows(**partition_args(missing_bin=65535))
        assert left.tolist() == [0, 1] and right.tolist() == [2, 3]

    def test_signed_64(self):
        left, _ = tn.partition_rows(**partition_args(bin=True))
        assert left.tolist() == [0, 1, 3]
        with pytest.raises(OverflowError) as e:
            tn.partition_rows(**partition_args(bin=2**63))
        assert not message(e).startswith("argument")
        with pytest.raises(TypeError) as e:
            tn.partition_rows(**partition_args(bin=1.0))
        assert message(e).startswith("argument 'bin': ")
        with pytest.raises(TypeError) as e:
            tn.partition_rows(**partition_args(feature="0"))
        assert message(e).startswith("argument 'feature': ")

    def test_float(self):
        base = tn.find_best_split(**split_args(l2=1))
        assert base == tn.find_best_split(**split_args(l2=1.0))
        tn.find_best_split(**split_args(l2=Floatable()))
        tn.find_best_split(**split_args(l2=Indexable(1)))
        tn.find_best_split(**split_args(l2=-1.0))
        with pytest.raises(TypeError) as e:
            tn.find_best_split(**split_args(l2="1.0"))
        assert message(e) == "argument 'l2': must be real number, not str"
        with pytest.raises(OverflowError):
            tn.find_best_split(**split_args(l2=10**400))

    def test_bool(self):
        out = tn.predict_linear(**predict_args(clip=np.bool_(True)))
        assert out.tolist() == [2.5, 2.5]
        with pytest.raises(TypeError) as e:
            tn.predict_linear(**predict_args(clip=1))
        assert message(e) == "argument 'clip': 'int' object cannot be converted to 'PyBool'"
        with pytest.raises(TypeError) as e:
            tn.predict_linear(**predict_args(clip=None))
        assert message(e) == "argument 'clip': 'NoneType' object cannot be converted to 'PyBool'"

    @pytest.mark.parametrize("name", ["bool_", "bool"])
    def test_numpy_bool_scalars_that_fail_their_truth_value(self, name):
        """A type that passes for NumPy's bool scalar but has no truth-value
        slot, or whose slot raises: a TypeError is a conversion failure of
        the argument like any other; other errors pass unchanged."""

        def numpy_type(**body):
            return type(name, (), {"__module__": "numpy", **body})

        def raises(exc):
            def truth(self):
                raise exc

            return truth

        with pytest.raises(TypeError) as e:
            tn.predict_linear(**predict_args(clip=numpy_type()()))
        assert message(e) == (
            f"argument 'clip': object of type '{name}' does not define a '__bool__' conversion"
        )
        with pytest.raises(TypeError) as e:
            tn.predict_linear(**predict_args(clip=numpy_type(__bool__=raises(TypeError("nope")))()))
        assert message(e) == "argument 'clip': nope"
        with pytest.raises(ValueError) as e:
            tn.predict_linear(**predict_args(clip=numpy_type(__bool__=raises(ValueError("no")))()))
        assert message(e) == "no"
        truthy = numpy_type(__bool__=lambda self: True)()
        assert tn.predict_linear(**predict_args(clip=truthy)).tolist() == [2.5, 2.5]

    def test_prefixed_error_keeps_the_inner_cause(self):
        class Bad:
            def __index__(self):
                try:
                    raise KeyError("inner")
                except KeyError as cause:
                    raise TypeError("no index") from cause

        with pytest.raises(TypeError) as e:
            tn.partition_rows(**partition_args(bin=Bad()))
        assert message(e) == "argument 'bin': no index"
        assert isinstance(e.value.__cause__, KeyError)

    def test_error_subclasses_pass_unchanged(self):
        class MyTypeError(TypeError):
            pass

        class Bad:
            def __index__(self):
                raise MyTypeError("mine")

        with pytest.raises(MyTypeError) as e:
            tn.partition_rows(**partition_args(bin=Bad()))
        assert message(e) == "mine"


class TestResults:
    def test_result_arrays_own_nothing_and_are_writeable(self):
        hist = tn.build_histograms(**hist_args())
        assert hist.flags.c_contiguous and hist.flags.writeable and hist.flags.aligned
        assert not hist.flags.owndata
        assert type(hist) is np.ndarray
        assert type(hist.base).__name__ == "PySliceContainer"
        hist[0, 0, 0] = 42.0
        assert hist[0, 0, 0] == 42.0

    def test_container_has_no_constructor(self):
        hist = tn.build_histograms(**hist_args())
        container_type = type(hist.base)
        with pytest.raises(TypeError) as e:
            container_type()
        assert message(e).startswith("No constructor defined for")

    def test_results_outlive_the_call_and_free_with_the_array(self):
        import gc
        import tracemalloc

        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            hist = tn.build_histograms(**hist_args(n_bins_max=100_000))
            held = tracemalloc.get_traced_memory()[0]
            assert held - before >= 2 * 100_000 * 3 * 8
            del hist
            gc.collect()
            after = tracemalloc.get_traced_memory()[0]
            assert after - before < 100_000
        finally:
            tracemalloc.stop()


def test_failed_conversions_leave_reference_counts_unchanged():
    args = hist_args()
    counts = [sys.getrefcount(v) for v in args.values()]
    for _ in range(1000):
        with pytest.raises(TypeError):
            tn.build_histograms(**{**args, "n_bins_max": "x"})
        tn.build_histograms(**args)
    assert [sys.getrefcount(v) for v in args.values()] == counts
