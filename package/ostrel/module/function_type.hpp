// The callable type of the five module functions.
#pragma once

#include "body.hpp"

namespace ostrel {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionEntry* entry;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;      // introspection only: binding never reads it
    PyObject* kwdefaults;
};

extern PyTypeObject function_type;

// A new function object for `entry`, or NULL with an exception set.
PyObject* new_function(const FunctionEntry& entry, PyObject* code, PyObject* defaults);

// The code object that `__code__` reports, or NULL with an exception set.
PyObject* new_introspection_code(const Signature& signature);

} // namespace ostrel
