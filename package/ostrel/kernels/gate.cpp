#include "gate.hpp"

#include "module/state.hpp"

#include <cstdint>

namespace ostrel::kernels {
namespace {

std::uint64_t version_of(PyObject* dict)
{
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// Dictionaries get a new version tag on every change, so one comparison of
// both tags tells whether the last verdict still holds.
struct Verdict {
    bool known = false;
    std::uint64_t globals_version = 0;
    std::uint64_t numpy_version = 0;
    bool unchanged = false;
};

bool holds(PyObject* dict, Name key, PyObject* expected)
{
    return expected != nullptr && PyDict_GetItemWithError(dict, name(key)) == expected;
}

} // namespace

bool numpy_unchanged()
{
    static Verdict verdict;
    PyObject* numpy = state.numpy;
    if (numpy == nullptr || state.ndarray_type == nullptr || Py_TYPE(numpy) != &PyModule_Type) {
        return false;
    }
    PyObject* numpy_dict = PyModule_GetDict(numpy);
    const std::uint64_t globals_version = version_of(state.globals);
    const std::uint64_t numpy_version = version_of(numpy_dict);
    if (verdict.known && verdict.globals_version == globals_version && verdict.numpy_version == numpy_version) {
        return verdict.unchanged;
    }
    bool unchanged = holds(state.globals, Name::np, numpy);
    for (int index = 0; unchanged && index < numpy_function_count; ++index) {
        const Name function = static_cast<Name>(static_cast<int>(first_numpy_function) + index);
        unchanged = holds(numpy_dict, function, numpy_function(function));
    }
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    verdict = Verdict{true, globals_version, numpy_version, unchanged};
    return unchanged;
}

bool is_own(Name global)
{
    const bool own = holds(state.globals, global, own_function(global));
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return own;
}

std::optional<std::ptrdiff_t> plain_size(PyObject* value)
{
    if (!PyLong_CheckExact(value)) {
        return std::nullopt;
    }
    int overflow = 0;
    const long long size = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0 || size < 1 || size > 0x7fffffffLL) {
        return std::nullopt;
    }
    return static_cast<std::ptrdiff_t>(size);
}

std::optional<bool> plain_truth(PyObject* value)
{
    if (value == Py_True) {
        return true;
    }
    if (value == Py_False || value == Py_None) {
        return false;
    }
    if (PyLong_CheckExact(value) || PyFloat_CheckExact(value)) {
        return PyObject_IsTrue(value) == 1;
    }
    return std::nullopt;
}

std::optional<double> plain_factor(PyObject* value)
{
    constexpr long long exact_limit = 1LL << 53;
    if (value == Py_True) {
        return 1.0;
    }
    if (PyFloat_CheckExact(value)) {
        return PyFloat_AS_DOUBLE(value);
    }
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long factor = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow == 0 && factor >= -exact_limit && factor <= exact_limit) {
            return static_cast<double>(factor);
        }
    }
    return std::nullopt;
}

} // namespace ostrel::kernels
