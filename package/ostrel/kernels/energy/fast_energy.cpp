// calc_energy natively: each frame's sum of squares as numpy sums it.
#include "kernels/shared/fast_paths.hpp"

#include "kernels/shared/dtypes.hpp"
#include "kernels/energy/energy.hpp"
#include "kernels/probes/flag_probe.hpp"
#include "kernels/shared/frame_call.hpp"
#include "module/state.hpp"
#include "kernels/shared/padding_cast.hpp"
#include "kernels/shared/pieces.hpp"
#include "kernels/probes/sum_probe.hpp"

#include <algorithm>
#include <new>

namespace ostrel::kernels {
namespace {

// The type numpy divides a float32 sum by the int win_len in, under its
// current promotion rules: asked of numpy with a float32 zero.  Nothing
// when numpy could not answer.
std::optional<Quotient> float32_quotient(PyObject* float32, PyObject* win_len)
{
    NewArray zero;
    if (!zero.make(1, float32)) {
        PyErr_Clear();
        return std::nullopt;
    }
    zero.data<float>()[0] = 0.0f;
    Ref array = zero.finish();
    Ref scalar = Ref::steal(PySequence_GetItem(array, 0));
    Ref quotient = Ref::steal(scalar ? PyNumber_TrueDivide(scalar, win_len) : nullptr);
    if (!quotient) {
        PyErr_Clear();
        return std::nullopt;
    }
    return Py_TYPE(quotient.get()) == Py_TYPE(scalar.get()) ? Quotient::float32 : Quotient::float64;
}

// Frames whose sum is NaN take numpy's own sum of their squares: the sign
// of a NaN sum is whatever order numpy's compiled loop meets NaNs of either
// sign in.  Its division by win_len follows as the statement's.  False when
// numpy could not make the squares' array; an exception of numpy's sum or
// the division is thrown, where the statement would have raised it.
bool sum_nan_frames_with_numpy(const EnergyPlan& plan, std::ptrdiff_t frames, PyObject* dtype, PyObject* win_len,
                               double* out)
{
    for (std::ptrdiff_t f = 0; f < frames; ++f) {
        if (out[f] == out[f]) {
            continue;
        }
        NewArray squares;
        if (!squares.make(plan.frame_length(f), dtype)) {
            return false;
        }
        plan.frame_squares(f, squares.data<char>());
        Ref products = squares.finish();
        PyObject* const args[] = {products.get()};
        Ref total = checked(PyObject_Vectorcall(numpy_function(Name::sum), args, 1, nullptr));
        Ref quotient = checked(PyNumber_TrueDivide(total, win_len));
        out[f] = PyFloat_AsDouble(quotient);
        if (out[f] == -1.0 && PyErr_Occurred()) {
            raise_pending();
        }
    }
    return true;
}

} // namespace

Ref fast_calc_energy(PyObject* const* values)
{
    FrameCall call;
    if (!claim_frame_call(values, call)) {
        return Ref{};
    }
    const FlagWork work = call.centered ? FlagWork::padded_squares : FlagWork::squares;
    if (!flags_follow_numpy(work, call.x.signal().element)) {
        return Ref{};
    }
    const std::optional<SumOrder> order = numpy_sum_order();
    if (!order || call.framing.win > order->longest) {
        return Ref{};
    }
    // Unpadded float32 frames are squared and summed in float32; the probes
    // show numpy's order in float64, which float32 shares for frames of at
    // most one buffer.
    const bool in_float32 = call.x.signal().element == Element::float32 && !call.centered;
    if (in_float32 && call.framing.win > order->bufsize) {
        return Ref{};
    }
    // The type of the squares numpy's statements form: its default float64,
    // or the signal's float32.
    Ref dtype = in_float32 ? dtype_of(values[0]) : Ref{};
    if (in_float32 && !dtype) {
        return Ref{};
    }
    const std::optional<Quotient> quotient = in_float32 ? float32_quotient(dtype, values[1]) : Quotient::float64;
    NewArray energy;
    if (!quotient || !energy.make(call.framing.frames)) {
        return Ref{};
    }
    std::optional<EnergyPlan> plan;
    try {
        plan.emplace(call.x.signal(), call.framing, order->chunk, in_float32, *quotient);
    } catch (const std::bad_alloc&) {
        return Ref{};
    }
    FloatStatus status;
    PaddingScan padding(call, 1);
    const bool frame_by_frame = padding.has_gaps();
    run_in_pieces(call.framing.frames, std::max(call.framing.win, call.framing.hop), status,
                  [&](std::ptrdiff_t first, std::ptrdiff_t last) {
                      if (!frame_by_frame) {
                          plan->run(first, last, energy.data<double>());
                          return;
                      }
                      // Each gap scanned as the frame before it is summed:
                      // one pass over memory, not two.
                      for (std::ptrdiff_t f = first; f < last; ++f) {
                          plan->run(f, f + 1, energy.data<double>());
                          padding.gaps_after(f, f + 1);
                      }
                  });
    padding.finish(status);
    if (!status.shows_nothing()) {
        return Ref{};
    }
    if (!sum_nan_frames_with_numpy(*plan, call.framing.frames, dtype.get(), values[1], energy.data<double>())) {
        return Ref{};
    }
    return energy.finish();
}

} // namespace ostrel::kernels
