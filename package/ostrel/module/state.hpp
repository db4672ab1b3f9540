// The process-wide module state: filled once by the exec step, never released.
#pragma once

#include "names.hpp"
#include "ref.hpp"

#include <array>
#include <cstdint>

namespace ostrel {

struct ModuleState {
    PyObject* module = nullptr;          // set once the exec step has run
    std::int64_t interpreter_id = -1;    // the one interpreter allowed to load us

    PyObject* globals = nullptr;         // the module's __dict__
    PyObject* builtins = nullptr;
    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* empty_str = nullptr;
    std::array<PyObject*, static_cast<int>(Name::count_)> names{};

    PyObject* zero = nullptr;
    PyObject* one = nullptr;
    PyObject* two = nullptr;
    PyObject* minus_one = nullptr;
    PyObject* minus_two = nullptr;

    PyObject* all_but_last = nullptr;       // [:-1]
    PyObject* all_but_first = nullptr;      // [1:]
    PyObject* all_but_last_two = nullptr;   // [:-2]
    PyObject* inner = nullptr;              // [1:-1]
    PyObject* all_but_first_two = nullptr;  // [2:]

    PyObject* defaults_true = nullptr;   // (True,)
    PyObject* defaults_none = nullptr;   // (None,)

    PyObject* range = nullptr;           // builtins.range as it was at start-up
    PyObject* ndarray_type = nullptr;    // numpy.ndarray, to recognise integer arrays

    // What the native fast paths compare the namespace with: numpy as start-up
    // imported it, its functions as they were then, and the module's own
    // function objects.
    PyObject* numpy = nullptr;
    std::array<PyObject*, numpy_function_count> numpy_functions{};
    PyObject* intp = nullptr;
    PyObject* getbufsize = nullptr;
    std::array<PyObject*, module_function_count> own_functions{};
};

extern ModuleState state;

inline PyObject* name(Name which) { return state.names[static_cast<int>(which)]; }

inline PyObject*& numpy_function(Name which)
{
    return state.numpy_functions[static_cast<int>(which) - static_cast<int>(first_numpy_function)];
}
inline PyObject*& own_function(Name which)
{
    return state.own_functions[static_cast<int>(which) - static_cast<int>(first_module_function)];
}

// Stores a new reference in a state slot, releasing what an earlier, failed
// start-up left there; false when `value` is NULL.
inline bool keep(PyObject*& slot, PyObject* value)
{
    Py_XSETREF(slot, value);
    return value != nullptr;
}

// Each returns false with an exception pending.
bool fill_constants();       // empty objects, interned names, small integers
bool fetch_range();          // builtins.range as it is now
bool build_slices_and_defaults();

} // namespace ostrel
