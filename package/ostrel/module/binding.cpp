#include "binding.hpp"

#include "records.hpp"
#include "state.hpp"

namespace ostrel {
namespace {

PyObject* default_value(const Signature& signature)
{
    return signature.optional_default == Default::true_object ? Py_True : Py_None;
}

bool count_error(const Signature& signature, Py_ssize_t given)
{
    const char* word;
    Py_ssize_t number;
    if (!signature.has_defaults()) {
        word = "exactly";
        number = signature.total;
    } else if (given < signature.required) {
        word = "at least";
        number = signature.required;
    } else {
        word = "at most";
        number = signature.total;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", signature.name,
                 word, number, number == 1 ? "" : "s", given);
    return false;
}

// The equality test of an exact str keyword against a parameter name, with
// the cheap rejections first.
bool same_text(PyObject* parameter, PyObject* keyword)
{
    const Py_ssize_t size = PyUnicode_GET_LENGTH(keyword);
    if (size != PyUnicode_GET_LENGTH(parameter)) {
        return false;
    }
    const Py_hash_t keyword_hash = reinterpret_cast<PyASCIIObject*>(keyword)->hash;
    const Py_hash_t parameter_hash = reinterpret_cast<PyASCIIObject*>(parameter)->hash;
    if (keyword_hash != -1 && parameter_hash != -1 && keyword_hash != parameter_hash) {
        return false;
    }
    const int kind = PyUnicode_KIND(keyword);
    if (kind != PyUnicode_KIND(parameter)) {
        return false;
    }
    const void* keyword_data = PyUnicode_DATA(keyword);
    const void* parameter_data = PyUnicode_DATA(parameter);
    if (size == 0) {
        return true;
    }
    if (PyUnicode_READ(kind, keyword_data, 0) != PyUnicode_READ(kind, parameter_data, 0)) {
        return false;
    }
    if (size == 1) {
        return true;
    }
    return memcmp(keyword_data, parameter_data, static_cast<size_t>(size) * static_cast<size_t>(kind)) == 0;
}

// 1 with `value` set, 0 when absent, -1 with an exception set.
int keyword_lookup(PyObject* parameter, PyObject* keyword_names, PyObject* const* keyword_values, PyObject*& value)
{
    const Py_ssize_t count = PyTuple_GET_SIZE(keyword_names);
    for (Py_ssize_t index = 0; index < count; ++index) {
        if (PyTuple_GET_ITEM(keyword_names, index) == parameter) {
            value = keyword_values[index];
            return 1;
        }
    }
    for (Py_ssize_t index = 0; index < count; ++index) {
        PyObject* keyword = PyTuple_GET_ITEM(keyword_names, index);
        bool matches;
        if (PyUnicode_CheckExact(keyword)) {
            matches = same_text(parameter, keyword);
        } else if (keyword == Py_None) {
            matches = false;
        } else {
            Ref equal = Ref::steal(PyObject_RichCompare(parameter, keyword, Py_EQ));
            if (!equal) {
                return -1;
            }
            const int truth = equal.get() == Py_True ? 1
                : (equal.get() == Py_False || equal.get() == Py_None) ? 0
                : PyObject_IsTrue(equal);
            if (truth < 0) {
                return -1;
            }
            matches = truth != 0;
        }
        if (matches) {
            value = keyword_values[index];
            return 1;
        }
    }
    return 0;
}

// 1 when equal, 0 when not, -1 with an exception set.
int equal_names(PyObject* keyword, PyObject* parameter)
{
    if (PyUnicode_GET_LENGTH(keyword) != PyUnicode_GET_LENGTH(parameter)) {
        return 0;
    }
    int order = PyUnicode_Compare(keyword, parameter);
    if (order == -1 && PyErr_Occurred()) {
        return -1;
    }
    return order == 0;
}

// Runs over every keyword once some were left unconsumed: binds the ones
// that fit and reports the first that does not.
bool keyword_scan(const Signature& signature, Py_ssize_t positional_count, PyObject* keyword_names,
                  PyObject* const* keyword_values, PyObject** values)
{
    const Py_ssize_t total = signature.total;
    const Py_ssize_t count = PyTuple_GET_SIZE(keyword_names);
    for (Py_ssize_t entry = 0; entry < count; ++entry) {
        PyObject* keyword = PyTuple_GET_ITEM(keyword_names, entry);
        PyObject* value = keyword_values[entry];
        bool bound = false;
        for (Py_ssize_t index = positional_count; index < total && !bound; ++index) {
            if (keyword == name(signature.parameter(static_cast<int>(index)))) {
                values[index] = value;
                bound = true;
            }
        }
        if (bound) {
            continue;
        }
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", signature.name);
            return false;
        }
        for (Py_ssize_t index = positional_count; index < total && !bound; ++index) {
            int equal = equal_names(keyword, name(signature.parameter(static_cast<int>(index))));
            if (equal < 0) {
                return false;
            }
            if (equal) {
                values[index] = value;
                bound = true;
            }
        }
        if (bound) {
            continue;
        }
        for (Py_ssize_t index = 0; index < positional_count; ++index) {
            PyObject* parameter = name(signature.parameter(static_cast<int>(index)));
            int equal = keyword == parameter ? 1 : equal_names(keyword, parameter);
            if (equal < 0) {
                return false;
            }
            if (equal) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", signature.name,
                             keyword);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.name, keyword);
        return false;
    }
    return true;
}

bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t positional_count, PyObject* keyword_names,
          PyObject** values)
{
    const Py_ssize_t required = signature.required;
    const Py_ssize_t total = signature.total;
    for (Py_ssize_t index = required; index < total; ++index) {
        values[index] = default_value(signature);
    }
    if (keyword_names == nullptr) {
        if (positional_count < required || positional_count > total) {
            return count_error(signature, positional_count);
        }
        for (Py_ssize_t index = 0; index < positional_count; ++index) {
            values[index] = args[index];
        }
        return true;
    }
    if (positional_count > total) {
        return count_error(signature, positional_count);
    }
    for (Py_ssize_t index = 0; index < positional_count; ++index) {
        values[index] = args[index];
    }
    PyObject* const* keyword_values = args + positional_count;
    Py_ssize_t unconsumed = PyTuple_GET_SIZE(keyword_names);
    for (Py_ssize_t index = positional_count; index < total; ++index) {
        const bool optional = index >= required;
        if (optional && unconsumed == 0) {
            break;
        }
        PyObject* value = nullptr;
        int found = keyword_lookup(name(signature.parameter(static_cast<int>(index))), keyword_names, keyword_values,
                                   value);
        if (found < 0) {
            return false;
        }
        if (found) {
            values[index] = value;
            --unconsumed;
        } else if (!optional) {
            return count_error(signature, index);
        }
    }
    if (unconsumed > 0) {
        return keyword_scan(signature, positional_count, keyword_names, keyword_values, values);
    }
    return true;
}

} // namespace

PyObject* enter_front(const FunctionEntry& entry, PyObject* const* args, Py_ssize_t positional_count,
                      PyObject* keyword_names)
{
    const Signature& signature = entry.signature;
    PyObject* values[max_parameters];
    // The bodies call each other through the namespace; a cycle must end in
    // RecursionError, not in a C stack overflow.
    if (!bind(signature, args, positional_count, keyword_names, values)
        || Py_EnterRecursiveCall(" while calling a Python object")) {
        add_traceback_record(signature.qualname, signature.def_line);
        return nullptr;
    }
    Steps steps;
    PyObject* result;
    try {
        result = entry.body(steps, values).release();
    } catch (const PythonError&) {
        add_traceback_record(signature.qualname, steps.line());
        result = nullptr;
    }
    Py_LeaveRecursiveCall();
    return result;
}

} // namespace ostrel
