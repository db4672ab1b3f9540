// numpy's floating-point error state at the moment of a call, as far as the
// fast paths need it: whether numpy would ignore the flags a kernel raised.
#pragma once

namespace ostrel::kernels {

// True when numpy's error mode is "ignore" for each of the <cfenv> flags in
// `raised`: numpy's statements then show nothing for them, and the kernel's
// values stand.  Asking numpy runs Python code, and with it any pending
// signal handler, whose exception is thrown as PythonError; anything else
// unexpected answers false.
bool numpy_ignores(int raised);

} // namespace ostrel::kernels
