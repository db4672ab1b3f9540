// calc_energy: each frame's sum of squares over the window length.
#include "bodies.hpp"

#include "module/operations.hpp"
#include "module/state.hpp"

namespace ostrel {
namespace {
struct {
    GlobalCache np_concatenate, np_zeros, calc_num_frames, np_empty, np_sum;
} sites;
} // namespace

Ref calc_energy_body(Steps& steps, PyObject* const* values)
{
    Ref x = Ref::borrow(values[0]);
    PyObject* win_len = values[1];
    PyObject* hop_size = values[2];
    PyObject* centered = values[3];

    steps.at(30);  // if centered:
    if (is_true(centered)) {
        steps.at(31);  // x = np.concatenate((np.zeros(win_len // 2), x))
        Ref concatenate = get_attr(lookup_global(Name::np, sites.np_concatenate), Name::concatenate);
        Ref zeros = get_attr(lookup_global(Name::np, sites.np_zeros), Name::zeros);
        Ref half = floor_divide_by_2(win_len);
        Ref padding = call(zeros, half);
        Ref parts = pair(padding, x);
        x = call(concatenate, parts);
    }

    steps.at(34);  // M = calc_num_frames(len(x), win_len, hop_size)
    Ref count_frames = lookup_global(Name::calc_num_frames, sites.calc_num_frames);
    Ref x_len = length_of(x);
    Ref M = call(count_frames, x_len, win_len, hop_size);

    steps.at(37);  // energy = np.empty(M)
    Ref empty = get_attr(lookup_global(Name::np, sites.np_empty), Name::empty);
    Ref energy = call(empty, M);

    steps.at(40);  // for m in range(M):
    RangeLoop frames(M);
    Ref m;
    Ref win;
    while (steps.at(40), frames.next(m)) {
        steps.at(41);  // win = x[m * hop_size:m * hop_size + win_len]
        Ref start = multiply(m, hop_size);
        Ref stop = add(multiply(m, hop_size), win_len);
        win = slice_range(x, start, stop);

        steps.at(42);  // energy[m] = np.sum(win * win) / win_len
        Ref sum = get_attr(lookup_global(Name::np, sites.np_sum), Name::sum);
        Ref samples = promote_integer_array(win);
        Ref squares = multiply(samples, samples);
        Ref total = call(sum, squares);
        Ref value = true_divide(total, win_len);
        set_item(energy, m, value);
    }
    return energy;
}

} // namespace ostrel
