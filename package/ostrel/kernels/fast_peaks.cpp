// find_peaks natively: strict local maxima, optionally above a threshold.
#include "fast_paths.hpp"

#include "buffers.hpp"
#include "gate.hpp"
#include "module/state.hpp"
#include "peaks.hpp"
#include "pieces.hpp"

namespace ostrel::kernels {
namespace {

// The maxima of the whole signal above the threshold, if any.
bool summarise(const Signal& signal, const Threshold& threshold, bool find_largest, FloatStatus& status,
               MaximaSummary& summary)
{
    return run_in_pieces(signal.length, 1, status, [&](std::ptrdiff_t first, std::ptrdiff_t last) {
        summarise_maxima(signal, first, last, threshold, find_largest, summary);
    });
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
    // Thresholds are reproduced for float64 signals only: other types mix
    // with the threshold by numpy's version-dependent promotion rules.
    const std::optional<double> factor = *thresholded ? plain_factor(thresh) : std::nullopt;
    if (*thresholded && (!factor || signal.element != Element::float64)) {
        return Ref{};
    }
    FloatStatus status;
    MaximaSummary maxima;
    if (!summarise(signal, std::nullopt, *thresholded, status, maxima)) {
        raise_pending();
    }
    // th = np.max(values) * thresh; without candidates there is no largest
    // one to scale, and no threshold.
    Threshold threshold;
    if (*thresholded && maxima.count > 0) {
        threshold = maxima.largest * *factor;
        maxima = MaximaSummary{};
        // Nothing is greater than a NaN threshold.
        if (*threshold == *threshold && !summarise(signal, threshold, false, status, maxima)) {
            raise_pending();
        }
    }
    NewArray peaks;
    if (!status.clean() || !peaks.make(maxima.count, state.intp)
        || peaks.item_size() != static_cast<std::ptrdiff_t>(sizeof(std::ptrdiff_t))) {
        PyErr_Clear();
        return Ref{};
    }
    std::ptrdiff_t* next = peaks.data<std::ptrdiff_t>();
    std::ptrdiff_t* const room = next + maxima.count;
    if (!run_in_pieces(signal.length, 1, status, [&](std::ptrdiff_t first, std::ptrdiff_t last) {
            next = write_maxima(signal, first, last, threshold, next, room);
        })) {
        raise_pending();
    }
    return peaks.finish();
}

} // namespace ostrel::kernels
