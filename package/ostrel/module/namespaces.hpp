// Whether a namespace has changed since a value was taken from it: the
// look-up caches and the fast paths' gate compare versions, never contents.
#pragma once

#include <Python.h>

#include <cstdint>

namespace ostrel {

// Starts following the changes of a dict (the module namespace first, at
// start-up); false when they cannot be followed.
bool follow_changes(PyObject* dict);

// A number that differs from every earlier one once the module namespace
// has changed (at every call when its changes are not followed); never 0,
// so an unused cache never matches.
std::uint64_t module_namespace_version();

// A number that differs from every earlier one once any followed dict has
// changed.
std::uint64_t followed_namespaces_version();

} // namespace ostrel
