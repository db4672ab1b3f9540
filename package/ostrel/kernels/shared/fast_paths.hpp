// The native fast paths of the bodies.  Each gives exactly what its body's
// statements would give, computed in one native pass; it returns an empty
// Ref, with nothing pending and nothing changed, when the call's objects are
// not ones it reproduces (the statements then run).  A signal handler's
// exception, raised between the pieces of a long pass or in the little
// Python code a fast path asks numpy to run, is thrown as PythonError; the
// body records it where its statements would have let the handler run.
#pragma once

#include "module/ref.hpp"

namespace ostrel::kernels {

Ref fast_calc_energy(PyObject* const* values);
Ref fast_calc_zc(PyObject* const* values);
Ref fast_num_zerocrossings(PyObject* const* values);
Ref fast_find_peaks(PyObject* const* values);

} // namespace ostrel::kernels
