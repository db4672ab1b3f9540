// The integer-array promotion and the empty-array test of the mended paths.
#include "operations.hpp"

#include "state.hpp"

namespace ostrel {
namespace {

// numpy arrays are recognised by their type, never by probing attributes.
bool is_array(PyObject* object)
{
    return state.ndarray_type != nullptr
        && PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(state.ndarray_type));
}

} // namespace

Ref promote_integer_array(PyObject* object)
{
    if (!is_array(object)) {
        return Ref::borrow(object);
    }
    Ref dtype = get_attr(object, Name::dtype);
    Ref kind = get_attr(dtype, Name::kind);
    const bool integer = PyUnicode_Check(kind.get())
        && (PyUnicode_CompareWithASCIIString(kind, "i") == 0 || PyUnicode_CompareWithASCIIString(kind, "u") == 0);
    if (!integer) {
        return Ref::borrow(object);
    }
    Ref astype = get_attr(object, Name::astype);
    return call(astype, reinterpret_cast<PyObject*>(&PyFloat_Type));
}

bool is_empty_array(PyObject* object)
{
    if (!is_array(object)) {
        return false;
    }
    Ref size = get_attr(object, Name::size);
    return !is_true(size);
}

} // namespace ostrel
