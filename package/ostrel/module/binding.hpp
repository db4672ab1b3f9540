// The argument-binding front shared by the five functions.
#pragma once

#include "body.hpp"

namespace ostrel {

// Binds a vectorcall-style argument list and runs the body: a new reference,
// or NULL with the exception set and one traceback record per failing level.
PyObject* enter_front(const FunctionEntry& entry, PyObject* const* args, Py_ssize_t positional_count,
                      PyObject* keyword_names);

} // namespace ostrel
