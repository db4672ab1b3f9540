// A pending exception set aside while other C-API calls run.
#pragma once

#include "ref.hpp"

namespace ostrel {

// The pending exception set aside while it lives; dropped unless restored.
// 3.12 deprecates the three-part form for the exception object itself.
class PendingException {
public:
#if PY_VERSION_HEX >= 0x030C0000
    PendingException() : exception_(Ref::steal(PyErr_GetRaisedException())) {}
    void restore() { PyErr_SetRaisedException(exception_.release()); }

private:
    Ref exception_;
#else
    PendingException()
    {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        type_ = Ref::steal(type);
        value_ = Ref::steal(value);
        traceback_ = Ref::steal(traceback);
    }
    void restore() { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }

private:
    Ref type_;
    Ref value_;
    Ref traceback_;
#endif
};

} // namespace ostrel
