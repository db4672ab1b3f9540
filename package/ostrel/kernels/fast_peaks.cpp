// find_peaks natively: strict local maxima, optionally above a threshold.
#include "fast_paths.hpp"

#include "buffers.hpp"
#include "gate.hpp"
#include "module/state.hpp"
#include "peaks.hpp"
#include "pieces.hpp"

#include <cstring>
#include <new>

namespace ostrel::kernels {
namespace {

// th = np.max(values) * thresh, in float64 as numpy's scalar product forms it.
double threshold(const Signal& signal, const Positions& positions, double factor)
{
    return largest_at(signal, positions) * factor;
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
    const std::optional<double> factor = *thresholded ? plain_factor(thresh) : std::optional<double>{1.0};
    if (!factor || (*thresholded && signal.element != Element::float64)) {
        return Ref{};
    }
    try {
        Positions peaks;
        FloatStatus status;
        const bool finished = run_in_pieces(signal.length, 1, status, [&](std::ptrdiff_t first, std::ptrdiff_t last) {
            find_maxima(signal, first, last, peaks);
        });
        if (!finished) {
            raise_pending();
        }
        // Without candidates there is no largest one to scale: no threshold.
        if (*thresholded && !peaks.empty()) {
            keep_above(signal, threshold(signal, peaks, *factor), peaks);
        }
        NewArray result;
        if (!status.clean() || !result.make(static_cast<std::ptrdiff_t>(peaks.size()), state.intp)
            || result.item_size() != static_cast<std::ptrdiff_t>(sizeof(std::ptrdiff_t))) {
            PyErr_Clear();
            return Ref{};
        }
        if (!peaks.empty()) {
            std::memcpy(result.data<std::ptrdiff_t>(), peaks.data(), peaks.size() * sizeof(std::ptrdiff_t));
        }
        return result.finish();
    } catch (const std::bad_alloc&) {
        return Ref{};
    }
}

} // namespace ostrel::kernels
