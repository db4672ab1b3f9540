// Whether the kernels raise every floating-point flag the running numpy's
// own statements raise.  numpy's loops and the compiler that built the
// kernels each decide which operations raise what (a loop may skip a flag,
// a compiler may drop a product whose result it can tell), so this is
// found out, once per element type: the kernels and numpy's statements are
// run side by side on signals made of the values that raise flags, and any
// flag numpy reports that a kernel misses keeps that kernel off.
#pragma once

#include "kernels/shared/signal.hpp"

namespace ostrel::kernels {

// The kinds of kernel work whose flags numpy's statements show.
enum class FlagWork : unsigned char {
    products,         // x[:-1] * x[1:] < 0, in the signal's type or float64
    padded_products,  // the same after zeros are put in front (float64)
    squares,          // np.sum(win * win) / win_len, in the signal's type or float64
    padded_squares,   // the same after zeros are put in front (float64)
    comparisons,      // x[:-2] < x[1:-1], x[1:-1] > x[2:]
};

// True when the kernels doing `work` on float64 or float32 signals raised at
// least the flags numpy raised on every probe signal; always true for
// integer signals, whose work raises none.  The first call per element type
// runs the probes, which runs Python code: an exception that is no Exception
// (KeyboardInterrupt, from a signal handler) is thrown as PythonError; any
// other failure makes no finding.  Nothing is kept from a probe that failed
// or that ran while numpy was not as start-up found it; false then.
bool flags_follow_numpy(FlagWork work, Element element);

} // namespace ostrel::kernels
