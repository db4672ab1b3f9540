// The centred statements pad a float32 signal by concatenating it with
// float64 zeros, which converts every sample to float64.  Converting a
// signalling NaN raises the invalid flag wherever it lies, whether a frame
// reads it or not (a hop longer than the window, no frames at all), while
// the kernels convert only the samples frames read.
#pragma once

#include "kernels/shared/float_status.hpp"
#include "kernels/shared/frame_call.hpp"

namespace ostrel::kernels {

// The samples of a centred float32 signal no frame's conversion reaches,
// scanned for signalling NaNs: the gaps a hop longer than the window leaves
// between frames, and whatever follows the last frame the kernel converts.
// The kernel converts every sample of each frame at least `shortest_read`
// long (1 for a sum of squares, 2 for a product of neighbours), and raises
// the flag there itself.  Nothing to do for any other call.
class PaddingScan {
public:
    PaddingScan(const FrameCall& call, std::ptrdiff_t shortest_read);

    // Whether frames leave gaps to scan, so that a kernel may scan each
    // frame's gap right after the frame, while its neighbourhood is in the
    // cache.
    bool has_gaps() const;
    // Scans the gaps that follow the frames first <= f < last.
    void gaps_after(std::ptrdiff_t first, std::ptrdiff_t last);
    // Scans the samples after the last frame read, and records the invalid
    // flag when any scan found a signalling NaN.  A signal handler's
    // exception, when a pending signal interrupts a long scan, is thrown as
    // PythonError.
    void finish(FloatStatus& status);

private:
    void scan(std::ptrdiff_t from, std::ptrdiff_t to);

    Signal signal_;
    Framing framing_;
    bool wanted_;
    std::ptrdiff_t padded_;
    std::ptrdiff_t read_frames_;
    bool found_ = false;
};

// All of it at once, for kernels that scan nothing themselves.
void flag_padding_cast(const FrameCall& call, std::ptrdiff_t shortest_read, FloatStatus& status);

} // namespace ostrel::kernels
