#include "kernels/shared/dtypes.hpp"

namespace ostrel::kernels {

Ref dtype_of(PyObject* x)
{
    // Interned once; reading an exact ndarray's dtype runs no Python code.
    static PyObject* const dtype_name = PyUnicode_InternFromString("dtype");
    Ref dtype = Ref::steal(dtype_name != nullptr ? PyObject_GetAttr(x, dtype_name) : nullptr);
    if (!dtype) {
        PyErr_Clear();
    }
    return dtype;
}

} // namespace ostrel::kernels
