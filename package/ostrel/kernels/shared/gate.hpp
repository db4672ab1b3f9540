// Whether a call's objects are ones the native fast paths reproduce exactly.
// Every test here runs no Python code, so a call that fails one of them runs
// the body's statements as if nothing had been looked at.
#pragma once

#include "module/names.hpp"

#include <Python.h>

#include <cstddef>
#include <optional>

namespace ostrel::kernels {

// At start-up, once numpy is bound: notes what each name that numpy's Python
// code reads during the bodies' calls holds now, and follows the namespaces
// they live in.  Never fails; numpy laid out otherwise keeps the fast paths
// off.
void note_numpy_names();

// `np` in the module namespace is numpy as start-up imported it, a plain
// module whose functions the bodies call, and every name those functions
// read, still hold what they held at start-up.
bool numpy_unchanged();

// The module global `global` is the module's own function object.
bool is_own(Name global);

// An exact int from 1 up to 2**31 - 1: a window or hop size whose index
// arithmetic cannot overflow.
std::optional<std::ptrdiff_t> plain_size(PyObject* value);

// The truth of True, False, None or an exact int or float, whose truth test
// runs no code; nothing for any other object.
std::optional<bool> plain_truth(PyObject* value);

// The float64 value numpy multiplies by for a plain truthy threshold: True, an
// exact int of at most 2**53 in magnitude, or an exact float.
std::optional<double> plain_factor(PyObject* value);

} // namespace ostrel::kernels
