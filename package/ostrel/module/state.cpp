#include "state.hpp"

namespace ostrel {

ModuleState state;

bool fill_constants()
{
    bool filled = keep(state.empty_tuple, PyTuple_New(0))
        && keep(state.empty_bytes, PyBytes_FromStringAndSize(nullptr, 0))
        && keep(state.empty_str, PyUnicode_FromStringAndSize(nullptr, 0));
    for (int index = 0; filled && index < static_cast<int>(Name::count_); ++index) {
        filled = keep(state.names[index], PyUnicode_InternFromString(name_texts[index]));
    }
    return filled && keep(state.zero, PyLong_FromLong(0)) && keep(state.one, PyLong_FromLong(1))
        && keep(state.two, PyLong_FromLong(2)) && keep(state.minus_one, PyLong_FromLong(-1))
        && keep(state.minus_two, PyLong_FromLong(-2));
}

bool fetch_range()
{
    PyObject* range_name = name(Name::range);
    if (keep(state.range, PyObject_GetAttr(state.builtins, range_name))) {
        return true;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", range_name);
    }
    return false;
}

bool build_slices_and_defaults()
{
    return keep(state.all_but_last, PySlice_New(nullptr, state.minus_one, nullptr))
        && keep(state.all_but_first, PySlice_New(state.one, nullptr, nullptr))
        && keep(state.all_but_last_two, PySlice_New(nullptr, state.minus_two, nullptr))
        && keep(state.inner, PySlice_New(state.one, state.minus_one, nullptr))
        && keep(state.all_but_first_two, PySlice_New(state.two, nullptr, nullptr))
        && keep(state.defaults_true, PyTuple_Pack(1, Py_True))
        && keep(state.defaults_none, PyTuple_Pack(1, Py_None));
}

} // namespace ostrel
