#include "kernels/shared/gate.hpp"

#include "kernels/shared/numpy_names.hpp"

#include "module/namespaces.hpp"
#include "module/state.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::kernels {
namespace {

// What a name held at start-up (none: it was absent).
struct Expected {
    PyObject* namespace_;
    Ref name;
    Ref value;
};

// Filled at start-up, kept for the life of the process (never destroyed:
// the interpreter may be gone by the time static objects are).
struct Noted {
    bool recognised = false;
    std::vector<Ref> namespaces;     // the dicts the names live in, the module namespace first
    std::vector<Ref> read_modules;   // modules whose attributes numpy's code reads
    std::vector<Expected> names;
};
Noted& noted = *new Noted;

// A lookup that runs no code: only called on dicts whose keys are all exact str.
PyObject* value_in(PyObject* namespace_, PyObject* key) { return PyDict_GetItemWithError(namespace_, key); }

// A key of another type could run its own __eq__ during a lookup.
bool only_str_keys(PyObject* namespace_)
{
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(namespace_, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
    }
    return true;
}

bool holds(PyObject* namespace_, PyObject* key, PyObject* expected)
{
    return expected != nullptr && value_in(namespace_, key) == expected;
}

// The attribute, or none when it is missing; false when getting it failed otherwise.
bool attribute(PyObject* object, const char* attribute_name, Ref& value)
{
    value = Ref::steal(PyObject_GetAttrString(object, attribute_name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return static_cast<bool>(value);
    }
    PyErr_Clear();
    return true;
}

// The dict a row's names live in, or none when this numpy has no such code;
// false when numpy is not laid out as expected.
bool namespace_of(const NamesRead& row, Ref& found)
{
    found = Ref{};
    if (row.where == Namespace::numpy) {
        found = Ref::borrow(PyModule_GetDict(state.numpy));
        return true;
    }
    Ref function;
    Ref implementation;
    if (!attribute(state.numpy, row.function, function) || !function) {
        return false;
    }
    if (row.where == Namespace::wrapper) {
        if (!PyFunction_Check(function.get())) {
            return true;
        }
        found = Ref::borrow(PyFunction_GetGlobals(function));
        return true;
    }
    if (!attribute(function, "__wrapped__", implementation)) {
        return false;
    }
    if (!implementation || !PyFunction_Check(implementation.get())) {
        return !row.required;
    }
    if (row.where == Namespace::builtins) {
        return attribute(implementation, "__builtins__", found) && found && PyDict_CheckExact(found.get());
    }
    PyObject* globals = PyFunction_GetGlobals(implementation);
    if (row.where == Namespace::implementation) {
        found = Ref::borrow(globals);
        return true;
    }
    PyObject* module = PyDict_GetItemString(globals, row.module);
    if (module == nullptr) {
        return true;
    }
    if (!PyModule_CheckExact(module)) {
        return false;
    }
    found = Ref::borrow(PyModule_GetDict(module));
    noted.read_modules.push_back(Ref::borrow(module));
    return true;
}

bool note_namespace(PyObject* namespace_)
{
    for (const Ref& known : noted.namespaces) {
        if (known.get() == namespace_) {
            return true;
        }
    }
    if (!PyDict_CheckExact(namespace_) || !follow_changes(namespace_)) {
        return false;
    }
    noted.namespaces.push_back(Ref::borrow(namespace_));
    return true;
}

bool note_names(PyObject* namespace_, std::string_view names)
{
    while (!names.empty()) {
        const std::size_t end = std::min(names.find(' '), names.size());
        Ref key = Ref::steal(PyUnicode_InternFromString(std::string(names.substr(0, end)).c_str()));
        if (!key) {
            return false;
        }
        PyObject* value = value_in(namespace_, key);
        if (value == nullptr && PyErr_Occurred()) {
            return false;
        }
        noted.names.push_back(Expected{namespace_, std::move(key), Ref::borrow(value)});
        names.remove_prefix(std::min(end + 1, names.size()));
    }
    return true;
}

// The functions the bodies call are numpy's own entries (not ones its
// module __getattr__ makes), and the ufuncs and array makers among them are
// C code: a stand-in numpy with other objects keeps the fast paths off.
bool plain_numpy_functions()
{
    PyObject* numpy_namespace = PyModule_GetDict(state.numpy);
    for (int index = 0; index < numpy_function_count; ++index) {
        const Name function = static_cast<Name>(static_cast<int>(first_numpy_function) + index);
        PyObject* value = numpy_function(function);
        if (value == nullptr || PyDict_GetItemWithError(numpy_namespace, name(function)) != value) {
            return false;
        }
    }
    for (Name function : {Name::ceil, Name::logical_and}) {
        PyObject* value = numpy_function(function);
        if (value == nullptr || std::string_view(Py_TYPE(value)->tp_name) != "numpy.ufunc") {
            return false;
        }
    }
    for (Name function : {Name::zeros, Name::empty}) {
        if (numpy_function(function) == nullptr || !PyCFunction_CheckExact(numpy_function(function))) {
            return false;
        }
    }
    return true;
}

bool note_everything()
{
    if (state.numpy == nullptr || !PyModule_CheckExact(state.numpy) || !plain_numpy_functions()
        || !note_namespace(state.globals)) {
        return false;
    }
    noted.read_modules.push_back(Ref::borrow(state.numpy));
    for (const NamesRead& row : names_read) {
        Ref namespace_;
        if (!namespace_of(row, namespace_)) {
            return false;
        }
        if (namespace_ && (!note_namespace(namespace_) || !note_names(namespace_, row.names))) {
            return false;
        }
    }
    return true;
}

bool as_at_startup()
{
    for (const Ref& namespace_ : noted.namespaces) {
        if (!only_str_keys(namespace_)) {
            return false;
        }
    }
    if (!holds(state.globals, name(Name::np), state.numpy)) {
        return false;
    }
    for (const Expected& expected : noted.names) {
        if (value_in(expected.namespace_, expected.name) != expected.value.get()) {
            return false;
        }
    }
    return true;
}

} // namespace

void note_numpy_names()
{
    noted = Noted{};
    try {
        noted.recognised = note_everything();
    } catch (const std::bad_alloc&) {
        noted.recognised = false;
    }
    PyErr_Clear();
}

bool numpy_unchanged()
{
    // Versions change with every change of a followed namespace, so one
    // comparison tells whether the last verdict still holds.
    static std::uint64_t verdict_version = 0;
    static bool verdict = false;
    if (!noted.recognised || state.ndarray_type == nullptr) {
        return false;
    }
    // A module's class can change without its namespace changing.
    for (const Ref& module : noted.read_modules) {
        if (Py_TYPE(module.get()) != &PyModule_Type) {
            return false;
        }
    }
    const std::uint64_t version = followed_namespaces_version();
    if (version != verdict_version) {
        verdict = as_at_startup();
        verdict_version = version;
    }
    return verdict;
}

bool is_own(Name global)
{
    static std::uint64_t verdict_version = 0;
    static std::array<bool, module_function_count> own{};
    const std::uint64_t version = module_namespace_version();
    if (version != verdict_version) {
        const bool plain = only_str_keys(state.globals);
        for (int index = 0; index < module_function_count; ++index) {
            const Name function = static_cast<Name>(static_cast<int>(first_module_function) + index);
            own[index] = plain && holds(state.globals, name(function), own_function(function));
        }
        verdict_version = version;
    }
    return own[static_cast<int>(global) - static_cast<int>(first_module_function)];
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
