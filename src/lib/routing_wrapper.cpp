#include "frame/args.hpp"
#include "frame/numpy.hpp"
#include "frame/result.hpp"
#include "lib/wrappers.hpp"
#include "routing/routing.hpp"

namespace tarnwick {

Ref wrap_partition_rows(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {
        {"binned", ParamKind::array, NPY_UINT16, 2},
        {"rows", ParamKind::array, NPY_INT64, 1},
        {"feature", ParamKind::usize},
        {"bin", ParamKind::i64},
        {"left_categories", ParamKind::optional_array, NPY_INT64, 1},
        {"missing_bin", ParamKind::u16},
    };
    static constexpr Signature sig{"partition_rows()", params};
    Arguments a = convert_arguments(sig, args, nargs, kwnames);
    RowPartition parts = partition_rows(a.array<uint16_t, 2>(0), a.array<int64_t, 1>(1), a.usize(2),
                                        a.i64(3), a.optional_array<int64_t, 1>(4), a.u16(5));
    Ref left = to_array(std::move(parts.left), {parts.n_left});
    Ref right = to_array(std::move(parts.right), {parts.n_right});
    return to_tuple({&left, &right});
}

Ref wrap_apply_tree(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {
        {"x", ParamKind::array, NPY_FLOAT64, 2},
        {"feature", ParamKind::array, NPY_INT32, 1},
        {"threshold", ParamKind::array, NPY_FLOAT64, 1},
        {"left", ParamKind::array, NPY_INT32, 1},
        {"right", ParamKind::array, NPY_INT32, 1},
        {"leaf_id", ParamKind::array, NPY_INT32, 1},
        {"missing_left", ParamKind::array, NPY_BOOL, 1},
        {"cat_offsets", ParamKind::array, NPY_INT64, 1},
        {"cat_values", ParamKind::array, NPY_FLOAT64, 1},
    };
    static constexpr Signature sig{"apply_tree()", params};
    Arguments a = convert_arguments(sig, args, nargs, kwnames);
    auto x = a.array<double, 2>(0);
    FlatTree tree{
        .feature = a.array<int32_t, 1>(1),
        .threshold = a.array<double, 1>(2),
        .left = a.array<int32_t, 1>(3),
        .right = a.array<int32_t, 1>(4),
        .leaf_id = a.array<int32_t, 1>(5),
        .missing_left = a.array<bool8, 1>(6),
        .cat_offsets = a.array<int64_t, 1>(7),
        .cat_values = a.array<double, 1>(8),
    };
    return to_array(apply_tree(x, tree), {x.shape[0]});
}

}  // namespace tarnwick
