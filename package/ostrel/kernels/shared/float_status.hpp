// The floating-point exception flags a kernel raises.  A kernel whose work
// raised a flag numpy would report is discarded, so numpy's own error
// handling decides what the caller sees; flags numpy's error state ignores
// change nothing the caller could see.
#pragma once

#include "kernels/shared/error_state.hpp"

#include <cfenv>

namespace ostrel::kernels {

class FloatStatus {
public:
    FloatStatus()
    {
        std::fegetexceptflag(&saved_, FE_ALL_EXCEPT);
        std::feclearexcept(FE_ALL_EXCEPT);
    }
    ~FloatStatus() { std::fesetexceptflag(&saved_, FE_ALL_EXCEPT); }
    FloatStatus(const FloatStatus&) = delete;
    FloatStatus& operator=(const FloatStatus&) = delete;

    // Moves the flags raised so far into the record: anything run next on
    // this thread (a signal handler, say) may clear them.
    void collect()
    {
        raised_ |= std::fetestexcept(reported);
        std::feclearexcept(FE_ALL_EXCEPT);
    }
    // The flags raised so far.
    int raised()
    {
        collect();
        return raised_;
    }
    // Adds flags the statements would raise in work no kernel repeats.
    void record(int flags) { raised_ |= flags; }
    // Drops flags raised by code other than the kernel (a signal handler).
    void ignore_raised_elsewhere() { std::feclearexcept(FE_ALL_EXCEPT); }
    // Whether the kernel's result shows what numpy's statements would: no
    // flag, or only flags numpy ignores now.
    bool shows_nothing()
    {
        collect();
        return raised_ == 0 || numpy_ignores(raised_);
    }

private:
    static constexpr int reported = FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID;
    std::fexcept_t saved_;
    int raised_ = 0;
};

} // namespace ostrel::kernels
