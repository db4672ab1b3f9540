// num_zerocrossings and calc_zc natively: crossings counted in one pass.
#include "kernels/shared/fast_paths.hpp"

#include "kernels/crossings/crossings.hpp"
#include "kernels/probes/flag_probe.hpp"
#include "kernels/shared/frame_call.hpp"
#include "kernels/shared/gate.hpp"
#include "module/state.hpp"
#include "kernels/shared/padding_cast.hpp"
#include "kernels/shared/pieces.hpp"

namespace ostrel::kernels {
namespace {

// Unpadded float32 samples multiply in float32; padding (float64 zeros) and
// the float64 promotion of integers make every other product float64.
Product product_for(Element element, bool padded)
{
    return element == Element::float32 && !padded ? Product::float32 : Product::float64;
}

// The type of numpy's count_nonzero result (a numpy integer on some
// versions, int on others), asked of numpy once.  That runs Python code, and
// with it any pending signal handler, whose exception is thrown.
PyObject* count_type()
{
    static PyObject* type = nullptr;
    if (type == nullptr) {
        PyObject* const args[] = {state.empty_tuple};
        Ref count = checked(PyObject_Vectorcall(numpy_function(Name::count_nonzero), args, 1, nullptr));
        // numpy's Python code may have let another first call (a thread's, a
        // signal handler's) finish meanwhile: the type it kept stays.
        if (type == nullptr) {
            type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(count.get())));
        }
    }
    return type;
}

// Empty, with the exception set, when the count could not be made.
Ref count_as_numpy_gives_it(std::ptrdiff_t crossings)
{
    PyObject* type = count_type();
    Ref count = Ref::steal(PyLong_FromSsize_t(crossings));
    if (!count || type == reinterpret_cast<PyObject*>(&PyLong_Type)) {
        return count;
    }
    PyObject* const args[] = {count.get()};
    return Ref::steal(PyObject_Vectorcall(type, args, 1, nullptr));
}

} // namespace

Ref fast_num_zerocrossings(PyObject* const* values)
{
    HeldSignal x;
    if (!numpy_unchanged() || !x.claim(values[0])) {
        return Ref{};
    }
    const Signal& signal = x.signal();
    if (signal.length < 2) {
        return Ref::borrow(state.zero);
    }
    if (!flags_follow_numpy(FlagWork::products, signal.element)) {
        return Ref{};
    }
    const Product product = product_for(signal.element, false);
    std::ptrdiff_t crossings = 0;
    FloatStatus status;
    run_in_pieces(signal.length - 1, 1, status, [&](std::ptrdiff_t first, std::ptrdiff_t last) {
        crossings += count_crossings(signal, product, 0, first, last);
    });
    if (!status.shows_nothing()) {
        return Ref{};
    }
    Ref count = count_as_numpy_gives_it(crossings);
    if (!count) {
        PyErr_Clear();
    }
    return count;
}

Ref fast_calc_zc(PyObject* const* values)
{
    FrameCall call;
    if (!claim_frame_call(values, call) || !is_own(Name::num_zerocrossings)) {
        return Ref{};
    }
    const FlagWork work = call.centered ? FlagWork::padded_products : FlagWork::products;
    if (!flags_follow_numpy(work, call.x.signal().element)) {
        return Ref{};
    }
    NewArray zc;
    if (!zc.make(call.framing.frames)) {
        return Ref{};
    }
    const Product product = product_for(call.x.signal().element, call.centered);
    Sweep sweep;
    FloatStatus status;
    flag_padding_cast(call, 2, status);
    // Each frame moves the sweep on by a hop.
    run_in_pieces(call.framing.frames, call.framing.hop, status, [&](std::ptrdiff_t first, std::ptrdiff_t last) {
        crossing_rates(call.x.signal(), call.framing, product, sweep, first, last, zc.data<double>());
    });
    return status.shows_nothing() ? zc.finish() : Ref{};
}

} // namespace ostrel::kernels
