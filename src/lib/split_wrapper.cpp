#include "frame/params.hpp"
#include "frame/result.hpp"
#include "lib/wrappers.hpp"
#include "split/split.hpp"

namespace tarnwick {
namespace {

using SplitArgs = Arguments<"find_best_split()", Array<"hist", double, 3>,
                            Array<"n_bins_per_feature", int64_t, 1>, Int64<"min_samples_leaf">,
                            Float<"l2">, Array<"categorical_mask", bool8, 1>, Float<"cat_smooth">,
                            Int64<"min_data_per_group">, Int64<"max_cat_threshold">>;

}  // namespace

Ref wrap_find_best_split(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const SplitArgs a(args, nargs, kwnames);
    const SplitParams settings{
        .min_samples_leaf = a.get<"min_samples_leaf">(),
        .l2 = a.get<"l2">(),
        .cat_smooth = a.get<"cat_smooth">(),
        .min_data_per_group = a.get<"min_data_per_group">(),
        .max_cat_threshold = a.get<"max_cat_threshold">(),
    };
    std::optional<Split> best = find_best_split(a.get<"hist">(), a.get<"n_bins_per_feature">(),
                                                a.get<"categorical_mask">(), settings);
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
