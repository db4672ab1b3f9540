// The framing shared by calc_energy and calc_zc: optional front padding, the
// frame count, the result array and the cut of one frame.
#pragma once

#include "module/body.hpp"
#include "module/operations.hpp"

namespace ostrel {

// The source lines of the four framing statements of one body.
struct FramingLines {
    int test_centered;  // if centered:
    int pad;            // x = np.concatenate((np.zeros(win_len // 2), x))
    int count;          // M = calc_num_frames(len(x), win_len, hop_size)
    int allocate;       // <result> = np.empty(M)
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

} // namespace ostrel
