// What ostrel's private helper modules (_pcm, _crossings) share: stateless
// modules of positional-only functions with the fast calling convention,
// whose arguments the analysis layer has already checked, so a wrong call
// is the library's own fault and gets a plain message.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

namespace ostrel::private_module {

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);

inline PyMethodDef method(const char* name, FastFunction function, const char* doc)
{
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)), METH_FASTCALL, doc};
}

inline PyMethodDef methods_end()
{
    return {nullptr, nullptr, 0, nullptr};
}

// No state: safe in every subinterpreter and without the GIL.
inline PyModuleDef_Slot stateless_slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

inline bool takes_arguments(const char* function, Py_ssize_t given, Py_ssize_t expected)
{
    if (given != expected) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s (%zd given)", function, expected,
                     expected == 1 ? "" : "s", given);
        return false;
    }
    return true;
}

inline std::optional<Py_ssize_t> ssize_of(PyObject* object)
{
    const Py_ssize_t value = PyLong_AsSsize_t(object);
    if (value == -1 && PyErr_Occurred()) {
        return std::nullopt;
    }
    return value;
}

} // namespace ostrel::private_module
