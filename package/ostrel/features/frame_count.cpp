// calc_num_frames: how many frames a window moved in hops yields.
#include "bodies.hpp"

#include "module/operations.hpp"
#include "module/state.hpp"

namespace ostrel {
namespace {
GlobalCache np_site;
} // namespace

Ref calc_num_frames_body(Steps& steps, PyObject* const* values)
{
    PyObject* x_len = values[0];
    PyObject* win_len = values[1];
    PyObject* hop_size = values[2];

    // return int(np.ceil((x_len - win_len + hop_size) / hop_size))
    steps.at(14);
    Ref ceil = get_attr(lookup_global(Name::np, np_site), Name::ceil);
    Ref difference = subtract(x_len, win_len);
    Ref span = add(difference, hop_size);
    difference = Ref{};
    Ref hops = true_divide(span, hop_size);
    span = Ref{};
    Ref rounded = call(ceil, hops);
    hops = Ref{};
    Ref frames = to_int(rounded);
    // Never negative: a signal too short for one frame has no frames.
    if (is_negative_int(frames)) {
        return Ref::borrow(state.zero);
    }
    return frames;
}

} // namespace ostrel
