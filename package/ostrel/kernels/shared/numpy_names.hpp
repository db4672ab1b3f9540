// The names numpy's own Python code reads while the functions the bodies
// call run, for numpy 1.24 to 2.x (found in fromnumeric.py, numeric.py,
// multiarray.py and, on 1.24, overrides.py).  A fast path may stand in for a
// call only while each still holds what it held at start-up: rebinding one
// changes what the plain sequence computes.
#pragma once

#include <array>

namespace ostrel::kernels {

enum class Namespace {
    numpy,          // numpy itself: the functions the bodies call
    wrapper,        // the globals of the function itself, where it is Python code (1.24's dispatch wrappers)
    implementation, // the globals of the Python function behind the dispatcher (`__wrapped__`)
    builtins,       // the builtins of that implementation
    module_global,  // the module bound to `module` in the implementation's globals, whose attributes are read
};

struct NamesRead {
    const char* function;  // the numpy attribute the bodies call; none for numpy itself
    Namespace where;
    const char* module;    // for module_global
    bool required;         // without it numpy is not laid out as expected, and the fast paths stay off
    const char* names;     // separated by spaces
};

inline constexpr std::array<NamesRead, 17> names_read{{
    {nullptr, Namespace::numpy, nullptr, true, "ceil zeros empty concatenate count_nonzero logical_and nonzero sum max"},
    // 1.24: each is a Python wrapper that calls its dispatcher, then
    // implement_array_function; a dispatcher's TypeError is reworded.
    {"concatenate", Namespace::wrapper, nullptr, false, "implement_array_function TypeError isinstance str"},
    {"sum", Namespace::wrapper, nullptr, false, "implement_array_function TypeError isinstance str"},
    {"count_nonzero", Namespace::wrapper, nullptr, false, "implement_array_function TypeError isinstance str"},
    {"max", Namespace::wrapper, nullptr, false, "implement_array_function TypeError isinstance str"},
    {"nonzero", Namespace::wrapper, nullptr, false, "implement_array_function TypeError isinstance str"},
    // fromnumeric: sum, max and nonzero, with their helpers _wrapreduction,
    // _wrapfunc and _wrapit beside them.
    {"sum", Namespace::implementation, nullptr, true,
     "np mu warnings _gentype _sum_ _wrapreduction _wrapfunc _wrapit _array_converter asarray "
     "isinstance type getattr TypeError AttributeError DeprecationWarning"},
    {"max", Namespace::implementation, nullptr, true, "np _wrapreduction"},
    {"nonzero", Namespace::implementation, nullptr, true, "_wrapfunc"},
    {"sum", Namespace::builtins, nullptr, true, "isinstance type getattr TypeError AttributeError DeprecationWarning str list"},
    {"sum", Namespace::module_global, "np", false, "add _NoValue"},
    {"max", Namespace::module_global, "np", false, "maximum _NoValue"},
    // The array type of _wrapreduction's test; concatenate's argument
    // dispatcher, which 1.25 and later keep inside the dispatcher object, is
    // defined in this module too.
    {"sum", Namespace::module_global, "mu", false, "ndarray list"},
    {"sum", Namespace::module_global, "warnings", false, "warn"},
    // numeric: count_nonzero.
    {"count_nonzero", Namespace::implementation, nullptr, true, "np multiarray asanyarray"},
    {"count_nonzero", Namespace::module_global, "multiarray", false, "count_nonzero"},
    {"count_nonzero", Namespace::module_global, "np", false, "issubdtype character bool bool_ intp"},
}};

} // namespace ostrel::kernels
