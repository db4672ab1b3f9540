// How this process's numpy sums float64 at its current buffer size, found
// once per buffer size: the native sums of squares are compared bit for bit
// with numpy's own on probe arrays whose lengths straddle every block and
// chunk boundary.
#pragma once

#include <cstddef>
#include <optional>

namespace ostrel::kernels {

struct SumOrder {
    std::ptrdiff_t chunk;    // 0: a reduction is never split
    std::ptrdiff_t longest;  // the longest frame the order is known for
    std::ptrdiff_t bufsize;  // numpy's buffer size it was found at
};

// Nothing when no candidate order reproduced numpy's sums, or numpy could not
// make a probe: the energy kernel then stays off.  Asking numpy runs Python
// code; an exception from it (a signal handler's, say) is thrown as
// PythonError.
std::optional<SumOrder> numpy_sum_order();

} // namespace ostrel::kernels
