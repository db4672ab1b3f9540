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
// a signalling NaN lies where the kernel converts nothing.  The kernel
// converts every sample of each frame at least `shortest_read` long (1 for
// a sum of squares, 2 for a product of neighbours), and raises the flag
// there itself.  A signal handler's exception, when a pending signal
// interrupts a long scan, is thrown as PythonError.
void flag_padding_cast(const FrameCall& call, std::ptrdiff_t shortest_read, FloatStatus& status);

} // namespace ostrel::kernels
