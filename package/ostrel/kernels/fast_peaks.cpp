// find_peaks natively: strict local maxima, optionally above a threshold.
#include "fast_paths.hpp"

#include "buffers.hpp"
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
        double largest = -__builtin_inf();
        over_words(*map, status, [&](std::ptrdiff_t first, std::ptrdiff_t last) {
            largest = map->largest(first, last, largest);
        });
        const double floor = largest * *factor;
        over_words(*map, status, [&](std::ptrdiff_t first, std::ptrdiff_t last) {
            map->keep_above(first, last, floor);
        });
    }
    Ref peaks = write_peaks(*map, status);
    return status.shows_nothing() ? std::move(peaks) : Ref{};
}

} // namespace ostrel::kernels
