// num_zerocrossings: strict sign changes between neighbouring samples.
#include "bodies.hpp"

#include "kernels/shared/fast_paths.hpp"
#include "module/operations.hpp"
#include "module/state.hpp"

namespace ostrel {
namespace {
GlobalCache np_site;
} // namespace

Ref num_zerocrossings_body(Steps& steps, PyObject* const* values)
{
    PyObject* x = values[0];

    // An interrupt of the native pass surfaces where numpy's count would
    // have let the signal handler run.
    steps.at(count_line);
    if (Ref count = kernels::fast_num_zerocrossings(values)) {
        return count;
    }
    steps.at(83);  // if len(x) < 2: return 0
    if (length(x) < 2) {
        return Ref::borrow(state.zero);
    }
    steps.at(85);  // x0 = x[:-1]
    Ref x0 = slice_with(x, state.all_but_last);
    steps.at(86);  // x1 = x[1:]
    Ref x1 = slice_with(x, state.all_but_first);

    steps.at(count_line);  // return np.count_nonzero(x0 * x1 < 0)
    Ref count_nonzero = get_attr(lookup_global(Name::np, np_site), Name::count_nonzero);
    Ref left = promote_integer_array(x0);
    Ref right = promote_integer_array(x1);
    Ref products = multiply(left, right);
    Ref negative = less_than(products, state.zero);
    return call(count_nonzero, negative);
}

} // namespace ostrel
