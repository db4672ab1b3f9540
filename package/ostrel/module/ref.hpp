// Owned references and the failure signal shared by every body.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace ostrel {

// Thrown once a C-API call has failed: the Python exception is already
// pending, so the catcher only adds its traceback record and returns NULL.
struct PythonError {};

// Move-only owner of one strong reference; leaving scope releases it.
class Ref {
public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept
    {
        // The old value goes only after the new one is bound, as a rebound
        // Python local would.
        PyObject* old = std::exchange(object_, other.release());
        Py_XDECREF(old);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    static Ref steal(PyObject* object) noexcept
    {
        Ref ref;
        ref.object_ = object;
        return ref;
    }
    static Ref borrow(PyObject* object) noexcept
    {
        Py_XINCREF(object);
        return steal(object);
    }

    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    PyObject* object_ = nullptr;
};

// Leaves through the failure path with the exception already pending.
[[noreturn]] inline void raise_pending() { throw PythonError{}; }

// Takes ownership of a C-API result, turning NULL into a PythonError.
inline Ref checked(PyObject* result)
{
    if (result == nullptr) {
        throw PythonError{};
    }
    return Ref::steal(result);
}

// For C-API calls that report failure with -1.
template <class Status>
inline Status checked_status(Status status)
{
    if (status == static_cast<Status>(-1) && PyErr_Occurred()) {
        throw PythonError{};
    }
    return status;
}

} // namespace ostrel
