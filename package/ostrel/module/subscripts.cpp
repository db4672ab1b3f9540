// Slicing, constant-index and object-key item access.
#include "operations.hpp"

#include "state.hpp"

namespace ostrel {
namespace {

bool has_mapping_subscript(PyObject* object)
{
    PyMappingMethods* mapping = Py_TYPE(object)->tp_as_mapping;
    return mapping != nullptr && mapping->mp_subscript != nullptr;
}

Ref unsliceable(PyObject* object)
{
    PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(object)->tp_name);
    raise_pending();
}

Py_ssize_t index_from_key(PyObject* key)
{
    Ref index = PyLong_CheckExact(key) ? Ref::borrow(key) : checked(PyNumber_Index(key));
    Py_ssize_t value = PyLong_AsSsize_t(index);
    if (value == -1 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_IndexError, "cannot fit '%.200s' into an index-sized integer", Py_TYPE(key)->tp_name);
        }
        raise_pending();
    }
    return value;
}

} // namespace

Ref slice_with(PyObject* object, PyObject* slice)
{
    if (!has_mapping_subscript(object)) {
        return unsliceable(object);
    }
    return checked(Py_TYPE(object)->tp_as_mapping->mp_subscript(object, slice));
}

Ref slice_range(PyObject* object, PyObject* start, PyObject* stop)
{
    if (!has_mapping_subscript(object)) {
        return unsliceable(object);
    }
    Ref slice = checked(PySlice_New(start, stop, nullptr));
    return checked(Py_TYPE(object)->tp_as_mapping->mp_subscript(object, slice));
}

Ref item_at(PyObject* object, Py_ssize_t index)
{
    if ((PyList_CheckExact(object) || PyTuple_CheckExact(object)) && index >= 0
        && index < PySequence_Fast_GET_SIZE(object)) {
        return Ref::borrow(PySequence_Fast_GET_ITEM(object, index));
    }
    if (!PyList_CheckExact(object) && !PyTuple_CheckExact(object)) {
        if (has_mapping_subscript(object)) {
            Ref key = checked(PyLong_FromSsize_t(index));
            return checked(Py_TYPE(object)->tp_as_mapping->mp_subscript(object, key));
        }
        PySequenceMethods* sequence = Py_TYPE(object)->tp_as_sequence;
        if (sequence != nullptr && sequence->sq_item != nullptr) {
            return checked(sequence->sq_item(object, index));
        }
    }
    Ref key = checked(PyLong_FromSsize_t(index));
    return checked(PyObject_GetItem(object, key));
}

Ref item_by_key(PyObject* object, PyObject* key)
{
    if (has_mapping_subscript(object)) {
        return checked(Py_TYPE(object)->tp_as_mapping->mp_subscript(object, key));
    }
    PySequenceMethods* sequence = Py_TYPE(object)->tp_as_sequence;
    if (sequence != nullptr && sequence->sq_item != nullptr) {
        Py_ssize_t index = index_from_key(key);
        if (index < 0 && sequence->sq_length != nullptr) {
            Py_ssize_t size = sequence->sq_length(object);
            if (size < 0) {
                if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
                    raise_pending();
                }
                PyErr_Clear();
            } else {
                index += size;
            }
        }
        return checked(sequence->sq_item(object, index));
    }
    if (PyType_Check(object)) {
        PyObject* class_getitem = PyObject_GetAttr(object, name(Name::dunder_class_getitem));
        if (class_getitem == nullptr) {
            PyErr_Clear();
        } else {
            Ref method = Ref::steal(class_getitem);
            return call(method, key);
        }
    }
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not subscriptable", Py_TYPE(object)->tp_name);
    raise_pending();
}

} // namespace ostrel
