// What the frame-wise fast paths share: the claim of a call's arguments and
// its frames, as the framing statements would lay them out.
#pragma once

#include "kernels/shared/buffers.hpp"

namespace ostrel::kernels {

struct FrameCall {
    HeldSignal x;
    bool centered = false;
    Framing framing{};
};

// Claims calc_energy(x, win_len, hop_size, centered) or the same of calc_zc
// for a native pass; false when any object is not a plain one.
bool claim_frame_call(PyObject* const* values, FrameCall& call);

} // namespace ostrel::kernels
