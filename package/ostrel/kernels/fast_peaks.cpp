// find_peaks natively: strict local maxima, optionally above a threshold.
#include "fast_paths.hpp"

#include "buffers.hpp"
#include "dtypes.hpp"
#include "gate.hpp"
#include "module/state.hpp"
#include "peaks.hpp"
#include "pieces.hpp"

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

// th = np.max(values) * thresh and x1 > th, for a signal of any type: the
// product and the comparison are numpy's own operations on the candidates'
// values, so th's type and the comparison's follow numpy's promotion rules
// of whatever version runs.  Comparing the candidates alone gives what the
// whole comparison gives at them.  False, with nothing pending, when numpy
// refused one of them (an out-of-range int threshold, an error state that
// raises): the statements then meet the refusal themselves.
bool keep_above_numpy_threshold(MaximaMap& map, PyObject* x, PyObject* thresh)
{
    const std::ptrdiff_t count = map.count(0, map.words());
    Ref dtype = dtype_of(x);
    NewArray values;
    if (!dtype || !values.make(count, dtype)) {
        return false;
    }
    const std::ptrdiff_t top = map.gather(values.data<char>());
    Ref candidates = values.finish();
    Ref largest = Ref::steal(PySequence_GetItem(candidates, top));
    Ref th = Ref::steal(largest ? PyNumber_Multiply(largest, thresh) : nullptr);
    Ref above = Ref::steal(th ? PyObject_RichCompare(candidates, th, Py_GT) : nullptr);
    HeldBuffer mask;
    if (!above || Py_TYPE(above.get()) != reinterpret_cast<PyTypeObject*>(state.ndarray_type)
        || !mask.acquire(above, PyBUF_RECORDS_RO)) {
        PyErr_Clear();
        return false;
    }
    const Py_buffer& view = mask.view();
    if (view.ndim != 1 || view.shape[0] != count || view.itemsize != 1 || view.format == nullptr
        || view.format[0] != '?' || view.format[1] != '\0') {
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
    // A float64 signal meets a plain number's threshold in float64 on every
    // numpy version; other types are left to numpy's promotion rules.
    const std::optional<double> factor = *thresholded ? plain_factor(thresh) : std::nullopt;
    const bool native_threshold = factor && signal.element == Element::float64;
    std::optional<MaximaMap> map;
    try {
        map.emplace(signal);
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
            if (!status.shows_nothing() || !keep_above_numpy_threshold(*map, values[0], thresh)) {
                return Ref{};
            }
            status.ignore_raised_elsewhere();
        }
    }
    Ref peaks = write_peaks(*map, status);
    return status.shows_nothing() ? std::move(peaks) : Ref{};
}

} // namespace ostrel::kernels
