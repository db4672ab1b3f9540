// Arithmetic, comparisons, conversions and the truth test.
#include "operations.hpp"

#include "state.hpp"

namespace ostrel {
namespace {

constexpr long long small_int_limit = 1LL << 60;  // two internal 30-bit digits

// The int's value when it fits the two-digit fast paths.
bool small_int_value(PyObject* object, long long& value)
{
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        raise_pending();
    }
    return overflow == 0 && value > -small_int_limit && value < small_int_limit;
}

} // namespace

Ref floor_divide_by_2(PyObject* object)
{
    long long value = 0;
    if (PyLong_CheckExact(object) && small_int_value(object, value)) {
        if (value == 0) {
            return Ref::borrow(object);
        }
        return checked(PyLong_FromLongLong(value >> 1));  // arithmetic shift: floor for negatives too
    }
    return checked(PyNumber_FloorDivide(object, state.two));
}

Ref add_one(PyObject* object)
{
    long long value = 0;
    if (PyLong_CheckExact(object) && small_int_value(object, value)) {
        if (value == 0) {
            return Ref::borrow(state.one);
        }
        return checked(PyLong_FromLongLong(value + 1));
    }
    if (PyFloat_CheckExact(object)) {
        return checked(PyFloat_FromDouble(PyFloat_AS_DOUBLE(object) + 1.0));
    }
    return checked(PyNumber_Add(object, state.one));
}

Ref to_float(PyObject* object)
{
    if (PyFloat_CheckExact(object)) {
        return Ref::borrow(object);
    }
    if (PyLong_CheckExact(object)) {
        double value = PyLong_AsDouble(object);
        if (value == -1.0 && PyErr_Occurred()) {
            raise_pending();
        }
        return checked(PyFloat_FromDouble(value));
    }
    // The built-in float's own conversion: texts are parsed, anything else
    // goes through __float__ or __index__.
    return checked(PyNumber_Float(object));
}

bool is_true(PyObject* object)
{
    if (object == Py_True) {
        return true;
    }
    if (object == Py_False || object == Py_None) {
        return false;
    }
    return checked_status(PyObject_IsTrue(object)) != 0;
}

Ref add(PyObject* left, PyObject* right) { return checked(PyNumber_Add(left, right)); }
Ref subtract(PyObject* left, PyObject* right) { return checked(PyNumber_Subtract(left, right)); }
Ref multiply(PyObject* left, PyObject* right) { return checked(PyNumber_Multiply(left, right)); }
Ref true_divide(PyObject* left, PyObject* right) { return checked(PyNumber_TrueDivide(left, right)); }
Ref less_than(PyObject* left, PyObject* right) { return checked(PyObject_RichCompare(left, right, Py_LT)); }
Ref greater_than(PyObject* left, PyObject* right) { return checked(PyObject_RichCompare(left, right, Py_GT)); }
void set_item(PyObject* object, PyObject* key, PyObject* value) { checked_status(PyObject_SetItem(object, key, value)); }
Py_ssize_t length(PyObject* object) { return checked_status(PyObject_Size(object)); }
Ref length_of(PyObject* object) { return checked(PyLong_FromSsize_t(length(object))); }

Ref pair(PyObject* first, PyObject* second)
{
    Ref tuple = checked(PyTuple_New(2));
    PyTuple_SET_ITEM(tuple.get(), 0, Py_NewRef(first));
    PyTuple_SET_ITEM(tuple.get(), 1, Py_NewRef(second));
    return tuple;
}

Ref to_int(PyObject* object)
{
    if (PyLong_CheckExact(object)) {
        return Ref::borrow(object);
    }
    return checked(PyNumber_Long(object));
}

bool is_negative_int(PyObject* object)
{
    if (!PyLong_Check(object)) {
        return false;
    }
    // Reads the value itself, even of a subclass: no __index__ is called.
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    return overflow < 0 || (overflow == 0 && value < 0);
}

} // namespace ostrel
