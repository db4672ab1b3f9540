// calc_zc: each frame's zero-crossing count over the window length.
#include "bodies.hpp"

#include "module/operations.hpp"
#include "module/state.hpp"

namespace ostrel {
namespace {
struct {
    GlobalCache np_concatenate, np_zeros, calc_num_frames, np_empty, num_zerocrossings;
} sites;
} // namespace

Ref calc_zc_body(Steps& steps, PyObject* const* values)
{
    Ref x = Ref::borrow(values[0]);
    PyObject* win_len = values[1];
    PyObject* hop_size = values[2];
    PyObject* centered = values[3];

    steps.at(59);  // if centered:
    if (is_true(centered)) {
        steps.at(60);  // x = np.concatenate((np.zeros(win_len // 2), x))
        Ref concatenate = get_attr(lookup_global(Name::np, sites.np_concatenate), Name::concatenate);
        Ref zeros = get_attr(lookup_global(Name::np, sites.np_zeros), Name::zeros);
        Ref half = floor_divide_by_2(win_len);
        Ref padding = call(zeros, half);
        Ref parts = pair(padding, x);
        x = call(concatenate, parts);
    }

    steps.at(63);  // M = calc_num_frames(len(x), win_len, hop_size)
    Ref count_frames = lookup_global(Name::calc_num_frames, sites.calc_num_frames);
    Ref x_len = length_of(x);
    Ref M = call(count_frames, x_len, win_len, hop_size);

    steps.at(66);  // zc = np.empty(M)
    Ref empty = get_attr(lookup_global(Name::np, sites.np_empty), Name::empty);
    Ref zc = call(empty, M);

    steps.at(69);  // for f in range(M):
    RangeLoop frames(M);
    Ref f;
    Ref win;
    while (steps.at(69), frames.next(f)) {
        steps.at(70);  // win = x[f * hop_size:f * hop_size + win_len]
        Ref start = multiply(f, hop_size);
        Ref stop = add(multiply(f, hop_size), win_len);
        win = slice_range(x, start, stop);

        steps.at(71);  // zc[f] = num_zerocrossings(win) / float(win_len)
        Ref count_crossings = lookup_global(Name::num_zerocrossings, sites.num_zerocrossings);
        Ref count = call(count_crossings, win);
        Ref window = to_float(win_len);
        Ref value = true_divide(count, window);
        set_item(zc, f, value);
    }
    return zc;
}

} // namespace ostrel
