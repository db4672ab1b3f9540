// calc_energy natively: each frame's sum of squares as numpy sums it.
#include "fast_paths.hpp"

#include "energy.hpp"
#include "frame_call.hpp"
#include "pieces.hpp"
#include "sum_probe.hpp"

#include <algorithm>
#include <new>

namespace ostrel::kernels {

Ref fast_calc_energy(PyObject* const* values)
{
    FrameCall call;
    if (!claim_frame_call(values, call)) {
        return Ref{};
    }
    // Unpadded float32 frames are squared and summed in float32.
    if (call.x.signal().element == Element::float32 && !call.centered) {
        return Ref{};
    }
    const std::optional<SumOrder> order = numpy_sum_order();
    if (!order || call.framing.win > order->longest) {
        return Ref{};
    }
    NewArray energy;
    if (!energy.make(call.framing.frames)) {
        return Ref{};
    }
    std::optional<EnergyPlan> plan;
    try {
        plan.emplace(call.x.signal(), call.framing, order->chunk);
    } catch (const std::bad_alloc&) {
        return Ref{};
    }
    FloatStatus status;
    run_in_pieces(call.framing.frames, call.framing.win, status, [&](std::ptrdiff_t first, std::ptrdiff_t last) {
        plan->run(first, last, energy.data<double>());
    });
    // The sign of a NaN sum depends on the order in which numpy's compiled
    // loop meets NaNs of either sign: frames with a NaN are left to numpy.
    const double* values_out = energy.data<double>();
    const bool has_nan = std::any_of(values_out, values_out + call.framing.frames, [](double v) { return v != v; });
    return status.clean() && !has_nan ? energy.finish() : Ref{};
}

} // namespace ostrel::kernels
