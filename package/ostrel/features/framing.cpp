#include "framing.hpp"

#include "module/state.hpp"

namespace ostrel {

Framing prepare_frames(Steps& steps, const FramingLines& lines, FramingSites& sites, PyObject* x, PyObject* win_len,
                       PyObject* hop_size, PyObject* centered)
{
    Framing framing{Ref::borrow(x), Ref{}, Ref{}};

    steps.at(lines.test_centered);
    if (is_true(centered)) {
        steps.at(lines.pad);
        Ref concatenate = get_attr(lookup_global(Name::np, sites.np_concatenate), Name::concatenate);
        Ref zeros = get_attr(lookup_global(Name::np, sites.np_zeros), Name::zeros);
        Ref half = floor_divide_by_2(win_len);
        Ref padding = call(zeros, half);
        Ref parts = pair(padding, framing.x);
        framing.x = call(concatenate, parts);
    }

    steps.at(lines.count);
    Ref count_frames = lookup_global(Name::calc_num_frames, sites.calc_num_frames);
    Ref x_len = length_of(framing.x);
    framing.M = call(count_frames, x_len, win_len, hop_size);

    steps.at(lines.allocate);
    Ref empty = get_attr(lookup_global(Name::np, sites.np_empty), Name::empty);
    framing.result = call(empty, framing.M);
    return framing;
}

Ref cut_frame(PyObject* x, PyObject* index, PyObject* hop_size, PyObject* win_len)
{
    Ref start = multiply(index, hop_size);
    Ref stop = add(multiply(index, hop_size), win_len);
    return slice_range(x, start, stop);
}

} // namespace ostrel
