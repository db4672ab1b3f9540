// The memory of numpy arrays, through the buffer protocol: the signal read by
// a kernel and the new array it fills.
#pragma once

#include "module/ref.hpp"
#include "kernels/shared/signal.hpp"

#include <Python.h>

namespace ostrel::kernels {

// A Py_buffer released when its owner goes.
class HeldBuffer {
public:
    HeldBuffer() = default;
    ~HeldBuffer() { release(); }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;

    bool acquire(PyObject* object, int flags);
    void release();
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A signal the kernels read: exactly numpy.ndarray, one-dimensional, aligned,
// in native byte order, of float64, float32 or an integer type.
class HeldSignal {
public:
    // False, with no exception pending, for any other object.
    bool claim(PyObject* x);
    const Signal& signal() const { return signal_; }

private:
    HeldBuffer buffer_;
    Signal signal_{};
};

// A new array from numpy's `empty` as start-up found it, with its memory.
class NewArray {
public:
    // np.empty(length) or np.empty(length, dtype); false when numpy could not
    // make it, its error dropped: the statements that then run meet it again.
    bool make(std::ptrdiff_t length, PyObject* dtype = nullptr);
    template <class T>
    T* data() const { return static_cast<T*>(buffer_.view().buf); }
    std::ptrdiff_t item_size() const { return buffer_.view().itemsize; }
    // The array, its memory given back first.
    Ref finish();

private:
    Ref array_;
    HeldBuffer buffer_;
};

} // namespace ostrel::kernels
