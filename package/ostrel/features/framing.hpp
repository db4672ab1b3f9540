// The framing shared by calc_energy and calc_zc: optional front padding, the
// frame count, the result array and the cut of one frame.
#pragma once

#include "module/body.hpp"
#include "module/operations.hpp"

namespace ostrel {

// The source lines of the framing statements of one body.
struct FramingLines {
    int test_centered;  // if centered:
    int pad;            // x = np.concatenate((np.zeros(win_len // 2), x))
    int count;          // M = calc_num_frames(len(x), win_len, hop_size)
    int allocate;       // <result> = np.empty(M)
    int loop;           // for <index> in range(M):
    int cut;            // win = x[<index> * hop_size:<index> * hop_size + win_len]
    int store;          // <result>[<index>] = <value of win>
};

// Each use site of a global keeps its own look-up cache.
struct FramingSites {
    GlobalCache np_concatenate, np_zeros, calc_num_frames, np_empty;
};

struct Framing {
    Ref x;       // the signal, padded when centered
    Ref M;       // the frame count
    Ref result;  // np.empty(M)
};

Framing prepare_frames(Steps& steps, const FramingLines& lines, FramingSites& sites, PyObject* x, PyObject* win_len,
                       PyObject* hop_size, PyObject* centered);

// x[index * hop_size:index * hop_size + win_len]; the product is formed twice,
// as the expression does.
Ref cut_frame(PyObject* x, PyObject* index, PyObject* hop_size, PyObject* win_len);

// The whole body of a frame-wise feature: framing, then for each frame
// `store_frame(result, index, win, win_len)` at the store line.
template <class StoreFrame>
Ref frame_wise(Steps& steps, const FramingLines& lines, FramingSites& sites, PyObject* const* values,
               StoreFrame store_frame)
{
    PyObject* win_len = values[1];
    PyObject* hop_size = values[2];
    Framing framing = prepare_frames(steps, lines, sites, values[0], win_len, hop_size, values[3]);

    steps.at(lines.loop);
    RangeLoop frames(framing.M);
    Ref index;
    Ref win;
    while (steps.at(lines.loop), frames.next(index)) {
        steps.at(lines.cut);
        win = cut_frame(framing.x, index, hop_size, win_len);
        steps.at(lines.store);
        store_frame(framing.result, index, win, win_len);
    }
    return std::move(framing.result);
}

} // namespace ostrel
