#include "operations.hpp"

#include "state.hpp"

namespace ostrel {
namespace {

[[noreturn]] void fail() { throw PythonError{}; }

constexpr long long small_int_limit = 1LL << 60;  // two internal 30-bit digits

// The int's value when it fits the two-digit fast paths.
bool small_int_value(PyObject* object, long long& value)
{
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        fail();
    }
    return overflow == 0 && value > -small_int_limit && value < small_int_limit;
}

bool has_mapping_subscript(PyObject* object)
{
    PyMappingMethods* mapping = Py_TYPE(object)->tp_as_mapping;
    return mapping != nullptr && mapping->mp_subscript != nullptr;
}

Ref unsliceable(PyObject* object)
{
    PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(object)->tp_name);
    fail();
}

Ref call_meth_o(PyObject* function, PyObject* argument)
{
    PyCFunction entry = PyCFunction_GET_FUNCTION(function);
    PyObject* self = (PyCFunction_GET_FLAGS(function) & METH_STATIC) ? nullptr : PyCFunction_GET_SELF(function);
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        fail();
    }
    PyObject* result = entry(self, argument);
    Py_LeaveRecursiveCall();
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    }
    return checked(result);
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
        fail();
    }
    return value;
}

// numpy arrays are recognised by their type, never by probing attributes.
bool is_array(PyObject* object)
{
    return state.ndarray_type != nullptr
        && PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(state.ndarray_type));
}

} // namespace

Ref lookup_global(Name global, GlobalCache& cache)
{
    PyObject* key = name(global);
    const std::uint64_t version = reinterpret_cast<PyDictObject*>(state.globals)->ma_version_tag;
    if (version != cache.version) {
        PyObject* value = _PyDict_GetItem_KnownHash(state.globals, key, PyObject_Hash(key));
        if (value == nullptr && PyErr_Occurred()) {
            fail();
        }
        cache.version = version;
        cache.value = value;
    }
    if (cache.value != nullptr) {
        return Ref::borrow(cache.value);
    }
    // Never cached: builtins may change without the namespace noticing.
    PyObject* builtin = PyObject_GetAttr(state.builtins, key);
    if (builtin != nullptr) {
        return Ref::steal(builtin);
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    }
    fail();
}

Ref get_attr(PyObject* object, Name attribute)
{
    getattrofunc hook = Py_TYPE(object)->tp_getattro;
    return checked(hook ? hook(object, name(attribute)) : PyObject_GetAttr(object, name(attribute)));
}

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
                    fail();
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
    fail();
}

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
            fail();
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

bool is_negative_int(PyObject* object) { return PyLong_Check(object) && _PyLong_Sign(object) < 0; }

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
            fail();
        }
        PyErr_Clear();
    }
    return false;
}

} // namespace ostrel
