#include "kernels/shared/frame_call.hpp"

#include "kernels/shared/gate.hpp"

#include <cmath>

namespace ostrel::kernels {
namespace {

// int(np.ceil((x_len - win_len + hop_size) / hop_size)), never negative: all
// terms are below 2**53, so the float64 division is Python's own.
std::ptrdiff_t frame_count(std::ptrdiff_t length, std::ptrdiff_t win, std::ptrdiff_t hop)
{
    const double hops = static_cast<double>(length - win + hop) / static_cast<double>(hop);
    const auto frames = static_cast<std::ptrdiff_t>(std::ceil(hops));
    return frames > 0 ? frames : 0;
}

} // namespace

bool claim_frame_call(PyObject* const* values, FrameCall& call)
{
    const std::optional<std::ptrdiff_t> win = plain_size(values[1]);
    const std::optional<std::ptrdiff_t> hop = plain_size(values[2]);
    const std::optional<bool> centered = plain_truth(values[3]);
    if (!win || !hop || !centered || !numpy_unchanged() || !is_own(Name::calc_num_frames)
        || !call.x.claim(values[0])) {
        return false;
    }
    call.centered = *centered;
    const std::ptrdiff_t pad = *centered ? *win / 2 : 0;
    call.framing = Framing{pad, *win, *hop, frame_count(pad + call.x.signal().length, *win, *hop)};
    return true;
}

} // namespace ostrel::kernels
