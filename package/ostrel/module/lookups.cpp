// Module-global look-up with its per-site cache, and attribute reads.
#include "operations.hpp"

#include "namespaces.hpp"
#include "state.hpp"

namespace ostrel {

Ref lookup_global(Name global, GlobalCache& cache)
{
    PyObject* key = name(global);
    const std::uint64_t version = module_namespace_version();
    if (version != cache.version) {
        // An interned str carries its hash: the look-up does not compute it.
        PyObject* value = PyDict_GetItemWithError(state.globals, key);
        if (value == nullptr && PyErr_Occurred()) {
            raise_pending();
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
    raise_pending();
}

Ref get_attr(PyObject* object, Name attribute)
{
    getattrofunc hook = Py_TYPE(object)->tp_getattro;
    return checked(hook ? hook(object, name(attribute)) : PyObject_GetAttr(object, name(attribute)));
}

} // namespace ostrel
