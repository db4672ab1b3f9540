// Work whose ordered comparisons raise the invalid flag where a NaN is (the
// baseline vector units' comparisons do), done first, and careful work,
// which raises nothing for a quiet NaN, done instead where the flag shows
// one: NaN is rare, and looking for it in every block cost more than the
// comparisons themselves.
#pragma once

#include <cfenv>

namespace ostrel::kernels {

// Runs ordered(), then careful() when ordered() raised the invalid flag;
// careful() must redo all of ordered()'s work.  The flag is left as it was
// before, but for what careful() raises.
template <class Ordered, class Careful>
void ordered_else_careful(Ordered&& ordered, Careful&& careful)
{
    std::fexcept_t saved;
    std::fegetexceptflag(&saved, FE_INVALID);
    std::feclearexcept(FE_INVALID);
    ordered();
    const bool met_nan = std::fetestexcept(FE_INVALID) != 0;
    std::fesetexceptflag(&saved, FE_INVALID);
    if (met_nan) {
        careful();
    }
}

} // namespace ostrel::kernels
