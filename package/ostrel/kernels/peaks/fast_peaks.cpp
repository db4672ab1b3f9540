// find_peaks natively: strict local maxima, optionally above a threshold.
#include "kernels/shared/fast_paths.hpp"

#include "kernels/shared/buffers.hpp"
#include "kernels/shared/dtypes.hpp"
#include "kernels/probes/flag_probe.hpp"
#include "kernels/shared/gate.hpp"
#include "module/state.hpp"
#include "kernels/peaks/peaks.hpp"
#include "kernels/shared/pieces.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <new>

namespace ostrel::kernels {
namespace {

// Runs work(first, last) over the words of the map.
template <class Work>
void over_words(const MaximaMap& map, FloatStatus& status, Work&& work)
{
    run_in_pieces(map.words(), MaximaMap::word_bits, status, work);
}

// The maxima of the map into a new intp array; empty when numpy could not
// make one of pointer size.
Ref write_peaks(const MaximaMap& map, FloatStatus& status)
{
    const std::ptrdiff_t count = map.count(0, map.words());
    NewArray peaks;
    if (!peaks.make(count, state.intp) || peaks.item_size() != static_cast<std::ptrdiff_t>(sizeof(std::ptrdiff_t))) {
        return Ref{};
    }
    std::ptrdiff_t* next = peaks.data<std::ptrdiff_t>();
    std::ptrdiff_t* const room = next + count;
    over_words(map, status, [&](std::ptrdiff_t first, std::ptrdiff_t last) {
        next = map.write(first, last, next, room);
    });
    return peaks.finish();
}

// The candidates' values as a new array of the signal's type, and the
// place of the first largest among them.
struct Candidates {
    Ref array;
    std::ptrdiff_t top = 0;
};

std::optional<Candidates> gather(const MaximaMap& map, PyObject* dtype)
{
    NewArray values;
    if (!values.make(map.count(0, map.words()), dtype)) {
        return std::nullopt;
    }
    const std::ptrdiff_t top = map.gather(values.data<char>());
    return Candidates{values.finish(), top};
}

// numpy's comparison of a float32 array with th, pinned down as a float32
// cutoff: numpy compares th with float32 probes on either side of it (the
// comparison's type follows numpy's promotion rules, whichever version
// runs).  Whatever that type, the comparison is monotone in the sample, so
// the probes' last failure is the cutoff.  Nothing when the probes do not
// pin it down to one step of float32.
std::optional<double> float32_cutoff(PyObject* dtype, PyObject* th)
{
    constexpr int around = 3;  // probes on each side of th in float32
    constexpr int probe_count = 2 * around + 3;
    const double th_value = PyFloat_AsDouble(th);
    NewArray probes;
    if ((th_value == -1.0 && PyErr_Occurred()) || !probes.make(probe_count, dtype)) {
        PyErr_Clear();
        return std::nullopt;
    }
    std::array<float, probe_count> probe;
    probe[0] = -std::numeric_limits<float>::infinity();
    probe[probe_count - 1] = std::numeric_limits<float>::infinity();
    float value = static_cast<float>(th_value);
    for (int k = 0; k < around; ++k) {
        value = std::nextafter(value, -std::numeric_limits<float>::infinity());
    }
    for (int k = 1; k < probe_count - 1; ++k, value = std::nextafter(value, std::numeric_limits<float>::infinity())) {
        probe[k] = value;
    }
    std::copy(probe.begin(), probe.end(), probes.data<float>());
    Ref probe_array = probes.finish();
    Ref above = Ref::steal(PyObject_RichCompare(probe_array, th, Py_GT));
    HeldBuffer mask;
    if (!above || Py_TYPE(above.get()) != reinterpret_cast<PyTypeObject*>(state.ndarray_type)
        || !mask.acquire(above, PyBUF_RECORDS_RO)) {
        PyErr_Clear();
        return std::nullopt;
    }
    const Py_buffer& view = mask.view();
    if (view.ndim != 1 || view.shape[0] != probe_count || view.itemsize != 1) {
        return std::nullopt;
    }
    const auto passes = [&](int k) { return static_cast<const char*>(view.buf)[k * view.strides[0]] != 0; };
    int first_pass = 0;
    while (first_pass < probe_count && !passes(first_pass)) {
        ++first_pass;
    }
    for (int k = first_pass; k < probe_count; ++k) {
        if (!passes(k)) {
            return std::nullopt;
        }
    }
    // All pass: every maximum (never NaN, never -inf) is kept; none pass:
    // none is.  Otherwise the step must lie between two neighbouring probes
    // around th.
    if (first_pass == 0) {
        return -std::numeric_limits<double>::infinity();
    }
    if (first_pass == probe_count) {
        return std::numeric_limits<double>::infinity();
    }
    if (first_pass < 2 || first_pass > probe_count - 2) {
        return std::nullopt;
    }
    return probe[first_pass - 1];
}

// th = np.max(values) * thresh and x1 > th for a signal other than float64:
// the product is numpy's own, of a scalar of the signal's type, so th's
// type follows numpy's promotion rules of whatever version runs; so does
// the comparison, asked of numpy on the candidates' values (comparing the
// candidates alone gives what the whole comparison gives at them), or for a
// float32 signal on a few probes.  False, with nothing pending, when numpy
// refused one of them (an out-of-range int threshold, an error state that
// raises): the statements then meet the refusal themselves.
bool keep_above_numpy_threshold(MaximaMap& map, PyObject* x, PyObject* thresh, FloatStatus& status)
{
    Ref dtype = dtype_of(x);
    if (!dtype) {
        return false;
    }
    std::optional<Candidates> candidates;
    Ref largest;
    if (map.signal().element == Element::float32) {
        NewArray top;
        if (!top.make(1, dtype)) {
            return false;
        }
        top.data<float>()[0] = static_cast<float>(map.largest());
        Ref top_array = top.finish();
        largest = Ref::steal(PySequence_GetItem(top_array, 0));
    } else {
        candidates = gather(map, dtype);
        largest = Ref::steal(candidates ? PySequence_GetItem(candidates->array, candidates->top) : nullptr);
    }
    Ref th = Ref::steal(largest ? PyNumber_Multiply(largest, thresh) : nullptr);
    if (!th) {
        PyErr_Clear();
        return false;
    }
    std::optional<double> cutoff = map.signal().element == Element::float32 ? float32_cutoff(dtype, th)
                                                                              : std::nullopt;
    status.ignore_raised_elsewhere();
    if (cutoff) {
        run_in_pieces(map.words(), MaximaMap::word_bits, status, [&](std::ptrdiff_t first, std::ptrdiff_t last) {
            map.keep_above(first, last, *cutoff);
        });
        return true;
    }
    if (!candidates) {
        candidates = gather(map, dtype);
    }
    Ref above = Ref::steal(candidates ? PyObject_RichCompare(candidates->array, th, Py_GT) : nullptr);
    HeldBuffer mask;
    if (!above || Py_TYPE(above.get()) != reinterpret_cast<PyTypeObject*>(state.ndarray_type)
        || !mask.acquire(above, PyBUF_RECORDS_RO)) {
        PyErr_Clear();
        return false;
    }
    const Py_buffer& view = mask.view();
    if (view.ndim != 1 || view.itemsize != 1 || view.shape[0] != map.count(0, map.words())) {
        return false;
    }
    map.keep_where(static_cast<const char*>(view.buf), view.strides[0]);
    return true;
}

} // namespace

Ref fast_find_peaks(PyObject* const* values)
{
    PyObject* thresh = values[1];
    const std::optional<bool> thresholded = plain_truth(thresh);
    HeldSignal x;
    if (!thresholded || !numpy_unchanged() || !x.claim(values[0])) {
        return Ref{};
    }
    const Signal& signal = x.signal();
    if (!flags_follow_numpy(FlagWork::comparisons, signal.element)) {
        return Ref{};
    }
    // A float64 signal meets a plain number's threshold in float64 on every
    // numpy version; other types are left to numpy's promotion rules.
    const std::optional<double> factor = *thresholded ? plain_factor(thresh) : std::nullopt;
    const bool native_threshold = factor && signal.element == Element::float64;
    std::optional<MaximaMap> map;
    try {
        map.emplace(signal, *thresholded);
    } catch (const std::bad_alloc&) {
        return Ref{};
    }
    FloatStatus status;
    over_words(*map, status, [&](std::ptrdiff_t first, std::ptrdiff_t last) { map->judge(first, last); });
    // th = np.max(values) * thresh; without candidates there is no largest
    // one to scale, and no threshold.
    if (*thresholded && map->count(0, map->words()) > 0) {
        if (native_threshold) {
            const double floor = map->largest() * *factor;
            over_words(*map, status, [&](std::ptrdiff_t first, std::ptrdiff_t last) {
                map->keep_above(first, last, floor);
            });
        } else {
            // numpy's operations may warn: the kernel's own flags are judged
            // first, so that a warning is never shown twice; numpy handles
            // the flags its operations raise.
            if (!status.shows_nothing()) {
                return Ref{};
            }
            if (!keep_above_numpy_threshold(*map, values[0], thresh, status)) {
                return Ref{};
            }
            status.ignore_raised_elsewhere();
        }
    }
    Ref peaks = write_peaks(*map, status);
    return status.shows_nothing() ? std::move(peaks) : Ref{};
}

} // namespace ostrel::kernels
