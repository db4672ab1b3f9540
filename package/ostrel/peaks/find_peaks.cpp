// find_peaks: strict local maxima, optionally above a fraction of the largest.
#include "bodies.hpp"

#include "kernels/shared/fast_paths.hpp"
#include "module/operations.hpp"
#include "module/state.hpp"

namespace ostrel {
namespace {
struct {
    GlobalCache np_first_mask, np_max, np_threshold_mask, np_nonzero;
} sites;
} // namespace

Ref find_peaks_body(Steps& steps, PyObject* const* values)
{
    PyObject* x = values[0];
    PyObject* thresh = values[1];

    // An interrupt of the native pass surfaces where numpy's nonzero would
    // have let the signal handler run.
    steps.at(112);
    if (Ref peaks = kernels::fast_find_peaks(values)) {
        return peaks;
    }
    steps.at(98);  // x0 = x[:-2]
    Ref x0 = slice_with(x, state.all_but_last_two);
    steps.at(99);  // x1 = x[1:-1]
    Ref x1 = slice_with(x, state.inner);
    steps.at(100);  // x2 = x[2:]
    Ref x2 = slice_with(x, state.all_but_first_two);

    steps.at(102);  // peak_bools = np.logical_and(x0 < x1, x1 > x2)
    Ref logical_and = get_attr(lookup_global(Name::np, sites.np_first_mask), Name::logical_and);
    Ref rises = less_than(x0, x1);
    Ref falls = greater_than(x1, x2);
    Ref peak_bools = call(logical_and, rises, falls);
    rises = Ref{};
    falls = Ref{};
    logical_and = Ref{};

    steps.at(103);  // values = x1[peak_bools]
    Ref peak_values = item_by_key(x1, peak_bools);

    steps.at(105);  // if thresh:
    // Without any candidate there is no largest peak to scale; the result is
    // simply empty rather than numpy's error for the maximum of nothing.
    if (is_true(thresh) && !is_empty_array(peak_values)) {
        steps.at(107);  // th = np.max(values) * thresh
        Ref max = get_attr(lookup_global(Name::np, sites.np_max), Name::max);
        Ref largest = call(max, peak_values);
        Ref th = multiply(largest, thresh);

        steps.at(110);  // peak_bools = np.logical_and(peak_bools, x1 > th)
        Ref and_again = get_attr(lookup_global(Name::np, sites.np_threshold_mask), Name::logical_and);
        Ref above = greater_than(x1, th);
        peak_bools = call(and_again, peak_bools, above);
    }

    steps.at(112);  // peaks = np.nonzero(peak_bools)[0] + 1
    Ref nonzero = get_attr(lookup_global(Name::np, sites.np_nonzero), Name::nonzero);
    Ref positions = call(nonzero, peak_bools);
    Ref first_axis = item_at(positions, 0);
    return add_one(first_axis);
}

} // namespace ostrel
