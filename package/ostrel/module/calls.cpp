// Calls with positional arguments, and the loop over the cached range.
#include "operations.hpp"

#include "state.hpp"

namespace ostrel {
namespace {

Ref call_meth_o(PyObject* function, PyObject* argument)
{
    PyCFunction entry = PyCFunction_GET_FUNCTION(function);
    PyObject* self = (PyCFunction_GET_FLAGS(function) & METH_STATIC) ? nullptr : PyCFunction_GET_SELF(function);
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        raise_pending();
    }
    PyObject* result = entry(self, argument);
    Py_LeaveRecursiveCall();
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    }
    return checked(result);
}

} // namespace

Ref call_array(PyObject* callable, PyObject* const* args, Py_ssize_t count)
{
    PyObject* with_self[4];
    if (Py_IS_TYPE(callable, &PyMethod_Type) && PyMethod_GET_SELF(callable) != nullptr) {
        with_self[0] = PyMethod_GET_SELF(callable);
        for (Py_ssize_t index = 0; index < count; ++index) {
            with_self[index + 1] = args[index];
        }
        callable = PyMethod_GET_FUNCTION(callable);
        args = with_self;
        count += 1;
    }
    if (count == 1 && PyCFunction_Check(callable) && (PyCFunction_GET_FLAGS(callable) & METH_O)) {
        return call_meth_o(callable, args[0]);
    }
    if (vectorcallfunc vectorcall = PyVectorcall_Function(callable)) {
        return checked(vectorcall(callable, args, static_cast<size_t>(count), nullptr));
    }
    return checked(PyObject_VectorcallDict(callable, args, static_cast<size_t>(count), nullptr));
}

RangeLoop::RangeLoop(PyObject* count) : items_(call(state.range, count))
{
    if (!PyList_CheckExact(items_.get()) && !PyTuple_CheckExact(items_.get())) {
        iterator_ = checked(PyObject_GetIter(items_));
    }
}

bool RangeLoop::next(Ref& item)
{
    if (!iterator_) {
        if (position_ >= PySequence_Fast_GET_SIZE(items_.get())) {
            return false;
        }
        item = Ref::borrow(PySequence_Fast_GET_ITEM(items_.get(), position_++));
        return true;
    }
    PyObject* value = Py_TYPE(iterator_.get())->tp_iternext(iterator_);
    if (value != nullptr) {
        item = Ref::steal(value);
        return true;
    }
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_StopIteration)) {
            raise_pending();
        }
        PyErr_Clear();
    }
    return false;
}

} // namespace ostrel
