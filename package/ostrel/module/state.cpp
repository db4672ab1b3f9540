#include "state.hpp"

namespace ostrel {

ModuleState state;

bool fill_constants()
{
    state.empty_tuple = PyTuple_New(0);
    state.empty_bytes = PyBytes_FromStringAndSize(nullptr, 0);
    state.empty_str = PyUnicode_FromStringAndSize(nullptr, 0);
    if (!state.empty_tuple || !state.empty_bytes || !state.empty_str) {
        return false;
    }
    for (int index = 0; index < static_cast<int>(Name::count_); ++index) {
        state.names[index] = PyUnicode_InternFromString(name_texts[index]);
        if (!state.names[index]) {
            return false;
        }
    }
    state.zero = PyLong_FromLong(0);
    state.one = PyLong_FromLong(1);
    state.two = PyLong_FromLong(2);
    state.minus_one = PyLong_FromLong(-1);
    state.minus_two = PyLong_FromLong(-2);
    return state.zero && state.one && state.two && state.minus_one && state.minus_two;
}

bool fetch_range()
{
    PyObject* range_name = name(Name::range);
    state.range = PyObject_GetAttr(state.builtins, range_name);
    if (!state.range) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", range_name);
        }
        return false;
    }
    return true;
}

bool build_slices_and_defaults()
{
    state.all_but_last = PySlice_New(nullptr, state.minus_one, nullptr);
    state.all_but_first = PySlice_New(state.one, nullptr, nullptr);
    state.all_but_last_two = PySlice_New(nullptr, state.minus_two, nullptr);
    state.inner = PySlice_New(state.one, state.minus_one, nullptr);
    state.all_but_first_two = PySlice_New(state.two, nullptr, nullptr);
    state.defaults_true = PyTuple_Pack(1, Py_True);
    state.defaults_none = PyTuple_Pack(1, Py_None);
    return state.all_but_last && state.all_but_first && state.all_but_last_two && state.inner
        && state.all_but_first_two && state.defaults_true && state.defaults_none;
}

} // namespace ostrel
