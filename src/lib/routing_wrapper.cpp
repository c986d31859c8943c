#include "frame/params.hpp"
#include "frame/result.hpp"
#include "lib/wrappers.hpp"
#include "routing/routing.hpp"

namespace tarnwick {
namespace {

using PartitionArgs =
    Arguments<"partition_rows()", Array<"binned", uint16_t, 2>, Array<"rows", int64_t, 1>,
              Size<"feature">, Int64<"bin">, OptionalArray<"left_categories", int64_t, 1>,
              UInt16<"missing_bin">>;

using ApplyTreeArgs =
    Arguments<"apply_tree()", Array<"x", double, 2>, Array<"feature", int32_t, 1>,
              Array<"threshold", double, 1>, Array<"left", int32_t, 1>, Array<"right", int32_t, 1>,
              Array<"leaf_id", int32_t, 1>, Array<"missing_left", bool8, 1>,
              Array<"cat_offsets", int64_t, 1>, Array<"cat_values", double, 1>>;

}  // namespace

Ref wrap_partition_rows(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const PartitionArgs a(args, nargs, kwnames);
    RowPartition parts =
        partition_rows(a.get<"binned">(), a.get<"rows">(), a.get<"feature">(), a.get<"bin">(),
                       a.get<"left_categories">(), a.get<"missing_bin">());
    const uint64_t n_left = parts.left.len(), n_right = parts.right.len();
    Ref left = to_array(std::move(parts.left), {n_left});
    Ref right = to_array(std::move(parts.right), {n_right});
    return to_tuple({&left, &right});
}

Ref wrap_apply_tree(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ApplyTreeArgs a(args, nargs, kwnames);
    const auto x = a.get<"x">();
    const FlatTree tree{
        .feature = a.get<"feature">(),
        .threshold = a.get<"threshold">(),
        .left = a.get<"left">(),
        .right = a.get<"right">(),
        .leaf_id = a.get<"leaf_id">(),
        .missing_left = a.get<"missing_left">(),
        .cat_offsets = a.get<"cat_offsets">(),
        .cat_values = a.get<"cat_values">(),
    };
    return to_array(apply_tree(x, tree), {x.shape[0]});
}

}  // namespace tarnwick
