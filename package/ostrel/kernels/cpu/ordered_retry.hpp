// Work whose ordered comparisons raise the invalid flag where a NaN is (the
// baseline vector units' comparisons do), done first, and careful work,
// which raises nothing for a quiet NaN, done instead where the flag shows
// one: NaN is rare, and looking for it in every block cost more than the
// comparisons themselves.
#pragma once

#include <cfenv>

#if defined(__x86_64__) && defined(__SSE2__)
#include <immintrin.h>
#endif

namespace ostrel::kernels {

// Runs ordered(), then careful() when ordered() raised any of `flags` (those
// it may raise where careful() would not); careful() must redo all of
// ordered()'s work.  Those flags are left as they were before, but for what
// careful() raises.
template <class Ordered, class Careful>
void ordered_else_careful(Ordered&& ordered, Careful&& careful, int flags = FE_INVALID)
{
#if defined(__x86_64__) && defined(__SSE2__)
    // The vector unit's own status register, where the flags of all float
    // arithmetic on x86-64 are: the C library's calls also save and load
    // the x87 unit's whole state, some hundreds of cycles a block.
    static_assert(FE_INVALID == _MM_EXCEPT_INVALID && FE_OVERFLOW == _MM_EXCEPT_OVERFLOW
                  && FE_UNDERFLOW == _MM_EXCEPT_UNDERFLOW && FE_DIVBYZERO == _MM_EXCEPT_DIV_ZERO);
    const unsigned mask = static_cast<unsigned>(flags);
    const unsigned saved = _mm_getcsr();
    _mm_setcsr(saved & ~mask);
    ordered();
    const unsigned after = _mm_getcsr();
    _mm_setcsr((after & ~mask) | (saved & mask));
    const bool raised = (after & mask) != 0;
#else
    std::fexcept_t saved;
    std::fegetexceptflag(&saved, flags);
    std::feclearexcept(flags);
    ordered();
    const bool raised = std::fetestexcept(flags) != 0;
    std::fesetexceptflag(&saved, flags);
#endif
    if (raised) {
        careful();
    }
}

} // namespace ostrel::kernels
