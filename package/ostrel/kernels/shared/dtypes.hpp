// The dtype of an array the fast paths hold, for new arrays of its type.
#pragma once

#include "module/ref.hpp"

namespace ostrel::kernels {

// x.dtype; empty, with nothing pending, if it cannot be had.
Ref dtype_of(PyObject* x);

} // namespace ostrel::kernels
