// Zero crossings with a zero counted as positive: neighbouring samples of
// which exactly one is strictly negative, as numpy's
// (x[:-1] < 0) != (x[1:] < 0) counts them.  NaN is not negative, so it
// sits on the side of zero.  Unlike the library's own rule, a sample that
// is exactly zero does not break a crossing, which keeps tones whose
// period is a whole number of samples at two crossings a period.
#pragma once

#include "kernels/shared/signal.hpp"

namespace ostrel::kernels {

// Sign changes among all neighbouring pairs of the signal.
std::ptrdiff_t count_sign_changes(const Signal& signal);

// Each frame's sign changes divided by the window length, out[f] for
// f < framing.frames, over the signal with framing.pad zeros in front of
// it.  Frames are cut as the library cuts them: a frame reaching past the
// end is shorter, one starting past it is empty (0).
void sign_change_rates(const Signal& signal, const Framing& framing, double* out);

} // namespace ostrel::kernels
