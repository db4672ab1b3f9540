// The centred statements pad a float32 signal by concatenating it with
// float64 zeros, which converts every sample to float64.  Converting a
// signalling NaN raises the invalid flag wherever it lies, whether a frame
// reads it or not (a hop longer than the window, no frames at all), while
// the kernels convert only the samples frames read.
#pragma once

#include "float_status.hpp"
#include "frame_call.hpp"

namespace ostrel::kernels {

// Records the invalid flag the padding of a centred float32 call raises when
// the signal holds a signalling NaN.  A signal handler's exception, when a
// pending signal interrupts a long scan, is thrown as PythonError.
void flag_padding_cast(const FrameCall& call, FloatStatus& status);

} // namespace ostrel::kernels
