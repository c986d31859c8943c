#include "frame/args.hpp"
#include "frame/numpy.hpp"
#include "frame/result.hpp"
#include "lib/wrappers.hpp"
#include "split/split.hpp"

namespace tarnwick {

Ref wrap_find_best_split(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {
        {"hist", ParamKind::array, NPY_FLOAT64, 3},
        {"n_bins_per_feature", ParamKind::array, NPY_INT64, 1},
        {"min_samples_leaf", ParamKind::i64},
        {"l2", ParamKind::f64},
        {"categorical_mask", ParamKind::array, NPY_BOOL, 1},
        {"cat_smooth", ParamKind::f64},
        {"min_data_per_group", ParamKind::i64},
        {"max_cat_threshold", ParamKind::i64},
    };
    static constexpr Signature sig{"find_best_split()", params};
    Arguments a = convert_arguments(sig, args, nargs, kwnames);
    SplitParams settings{
        .min_samples_leaf = a.i64(2),
        .l2 = a.f64(3),
        .cat_smooth = a.f64(5),
        .min_data_per_group = a.i64(6),
        .max_cat_threshold = a.i64(7),
    };
    std::optional<Split> best = find_best_split(a.array<double, 3>(0), a.array<int64_t, 1>(1),
                                                a.array<bool8, 1>(4), settings);
    if (!best) return Ref::borrow(Py_None);
    Ref feature = to_int(int64_t(best->feature));
    Ref bin = to_int(best->bin);
    Ref gain = to_float(best->gain);
    Ref left = to_int(best->left_count);
    Ref right = to_int(best->right_count);
    Ref categories =
        best->left_categories ? to_int_list(*best->left_categories) : Ref::borrow(Py_None);
    return to_tuple({&feature, &bin, &gain, &left, &right, &categories});
}

}  // namespace tarnwick
