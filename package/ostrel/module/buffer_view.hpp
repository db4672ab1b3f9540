// One buffer view of an object, released when it goes out of scope: the
// private modules read and fill caller-owned buffers through it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ostrel {

class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView()
    {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }

    bool acquire(PyObject* exporter, int flags)
    {
        held_ = PyObject_GetBuffer(exporter, &view_, flags) == 0;
        return held_;
    }
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

} // namespace ostrel
