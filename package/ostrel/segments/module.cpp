// ostrel._segments: the per-frame measurements the segment finder reads,
// taken natively in one pass as the samples arrive.  Private to
// ostrel.analysis, which checks every argument; beside fenwy, outside its
// namespace.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cfenv>
#include <cstring>
#include <new>
#include <optional>

#include "kernels/cpu/cpu_features.hpp"
#include "kernels/cpu/twins_record.hpp"
#include "kernels/segments/measures.hpp"
#include "module/buffer_view.hpp"
#include "module/private_module.hpp"

namespace {

using ostrel::BufferView;
using ostrel::kernels::SegmentFrames;
using ostrel::kernels::SegmentMeasures;
using ostrel::private_module::takes_arguments;

struct MeasuresObject {
    PyObject_HEAD
    SegmentMeasures* measures;
    // Set while a call runs without the GIL: a second thread's call is refused, not raced.
    std::atomic<bool> busy;
    bool finished;
};

MeasuresObject* as_measures(PyObject* self)
{
    return reinterpret_cast<MeasuresObject*>(self);
}

// The kernels' arithmetic may raise floating-point flags (a square that
// overflows); numpy and fenwy's fast paths read them, so they are put back
// as they were.
class FlagsKept {
public:
    FlagsKept() { std::fegetexceptflag(&saved_, FE_ALL_EXCEPT); }
    FlagsKept(const FlagsKept&) = delete;
    FlagsKept& operator=(const FlagsKept&) = delete;
    ~FlagsKept() { std::fesetexceptflag(&saved_, FE_ALL_EXCEPT); }

private:
    std::fexcept_t saved_{};
};

// One call at a time per object; released when the call returns.
class Claim {
public:
    // Frames measured may still be taken once the signal has finished; nothing else may be done then.
    enum class After { refused, taken };

    explicit Claim(MeasuresObject* self, const char* method, After after_finish = After::refused) : self_(self)
    {
        held_ = !self->busy.exchange(true);
        if (!held_) {
            PyErr_Format(PyExc_RuntimeError, "Measures.%s(): the measurements are in use by another thread", method);
        } else if (self->finished && after_finish == After::refused) {
            PyErr_Format(PyExc_ValueError, "Measures.%s(): the signal has already finished", method);
            self->busy.store(false);
            held_ = false;
        }
    }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
    ~Claim()
    {
        if (held_) {
            self_->busy.store(false);
        }
    }
    explicit operator bool() const { return held_; }

private:
    MeasuresObject* self_;
    bool held_ = false;
};

bool is_float64(const Py_buffer& view)
{
    const char* format = view.format == nullptr ? "B" : view.format;
    if (*format == '@' || *format == '=' || (*format == '<' && PY_LITTLE_ENDIAN)) {
        ++format;
    }
    return std::strcmp(format, "d") == 0 && view.itemsize == 8;
}

PyObject* measures_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "Measures() takes no keyword arguments");
        return nullptr;
    }
    SegmentFrames frames{};
    if (!PyArg_ParseTuple(args, "nnnn:Measures", &frames.win, &frames.hop, &frames.low_block, &frames.long_span)) {
        return nullptr;
    }
    // Frame indices times the hop, and the buffers of a window, stay far from overflow.
    constexpr Py_ssize_t longest = Py_ssize_t{1} << 40;
    if (frames.win > longest || frames.hop > longest || frames.low_block > longest || frames.long_span > longest) {
        PyErr_SetString(PyExc_ValueError, "Measures() takes frames and blocks of at most 2**40 samples");
        return nullptr;
    }
    if (frames.win < 1 || frames.hop < 1 || frames.low_block < 1 || frames.long_span < 1) {
        PyErr_Format(PyExc_ValueError, "Measures() needs a positive window, hop, low block and long span, got %zd, %zd, %zd, %zd",
                     frames.win, frames.hop, frames.low_block, frames.long_span);
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    MeasuresObject* measures = as_measures(self);
    new (&measures->busy) std::atomic<bool>(false);
    measures->finished = false;
    try {
        measures->measures = new SegmentMeasures(frames);
    } catch (const std::bad_alloc&) {
        measures->measures = nullptr;
    }
    if (measures->measures == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

void measures_dealloc(PyObject* self)
{
    delete as_measures(self)->measures;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

constexpr const char feed_doc[] =
    "feed(piece, /)\n--\n\n"
    "Take the next samples (a one-dimensional float64 buffer) and measure every\n"
    "frame they complete.  NaN and infinite samples are heard as silence.\n"
    "Returns whether every sample was finite.";

PyObject* feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs)
{
    if (!takes_arguments("feed", nargs, 1)) {
        return nullptr;
    }
    MeasuresObject* measures = as_measures(self);
    const Claim claim(measures, "feed");
    if (!claim) {
        return nullptr;
    }
    BufferView held;
    if (!held.acquire(args[0], PyBUF_STRIDES | PyBUF_FORMAT)) {
        return nullptr;
    }
    const Py_buffer& view = held.view();
    if (view.ndim != 1 || !is_float64(view)) {
        PyErr_Format(PyExc_TypeError, "Measures.feed() takes a one-dimensional float64 buffer, got format '%s' in %d dimensions",
                     view.format == nullptr ? "B" : view.format, view.ndim);
        return nullptr;
    }
    bool finite = true;
    bool failed = false;
    Py_BEGIN_ALLOW_THREADS
    {
        const FlagsKept kept;
        try {
            finite = measures->measures->feed(static_cast<const char*>(view.buf), view.shape[0], view.strides[0]);
        } catch (const std::bad_alloc&) {
            failed = true;
        }
    }
    Py_END_ALLOW_THREADS
    if (failed) {
        return PyErr_NoMemory();
    }
    return PyBool_FromLong(finite);
}

constexpr const char finish_doc[] =
    "finish()\n--\n\n"
    "The signal has ended: measure every frame left, the last ones cut short.";

PyObject* finish(PyObject* self, PyObject* const*, Py_ssize_t nargs)
{
    if (!takes_arguments("finish", nargs, 0)) {
        return nullptr;
    }
    MeasuresObject* measures = as_measures(self);
    const Claim claim(measures, "finish");
    if (!claim) {
        return nullptr;
    }
    bool failed = false;
    Py_BEGIN_ALLOW_THREADS
    {
        const FlagsKept kept;
        try {
            measures->measures->finish();
        } catch (const std::bad_alloc&) {
            failed = true;
        }
    }
    Py_END_ALLOW_THREADS
    measures->finished = true;
    if (failed) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

constexpr const char pending_doc[] =
    "pending()\n--\n\n"
    "How many frames are measured and not yet taken.";

PyObject* pending(PyObject* self, PyObject* const*, Py_ssize_t nargs)
{
    if (!takes_arguments("pending", nargs, 0)) {
        return nullptr;
    }
    MeasuresObject* measures = as_measures(self);
    if (measures->busy.load()) {
        PyErr_SetString(PyExc_RuntimeError, "Measures.pending(): the measurements are in use by another thread");
        return nullptr;
    }
    return PyLong_FromSsize_t(measures->measures->pending());
}

constexpr const char take_doc[] =
    "take(out, /)\n--\n\n"
    "Fill the C-contiguous float64 buffer ``out`` of shape (n, 4) with the next n\n"
    "measured frames (energy, energy of the first difference, zero-crossing rate,\n"
    "low-band energy or NaN), which are then no longer kept.";

PyObject* take(PyObject* self, PyObject* const* args, Py_ssize_t nargs)
{
    if (!takes_arguments("take", nargs, 1)) {
        return nullptr;
    }
    MeasuresObject* measures = as_measures(self);
    const Claim claim(measures, "take", Claim::After::taken);
    if (!claim) {
        return nullptr;
    }
    BufferView out;
    if (!out.acquire(args[0], PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE)) {
        return nullptr;
    }
    const Py_buffer& view = out.view();
    if (view.ndim != 2 || !is_float64(view) || view.shape[1] != ostrel::kernels::measure_columns) {
        PyErr_SetString(PyExc_TypeError, "Measures.take() writes into a float64 buffer of shape (n, 4) only");
        return nullptr;
    }
    if (view.shape[0] > measures->measures->pending()) {
        PyErr_Format(PyExc_ValueError, "Measures.take(): %zd frames asked for, %zd measured", view.shape[0],
                     measures->measures->pending());
        return nullptr;
    }
    measures->measures->take(view.shape[0], static_cast<double*>(view.buf));
    return Py_NewRef(Py_None);
}

PyMethodDef measures_methods[] = {
    ostrel::private_module::method("feed", feed, feed_doc),
    ostrel::private_module::method("finish", finish, finish_doc),
    ostrel::private_module::method("pending", pending, pending_doc),
    ostrel::private_module::method("take", take, take_doc),
    ostrel::private_module::methods_end(),
};

constexpr const char measures_doc[] =
    "Measures(win, hop, low_block, long_span, /)\n--\n\n"
    "The segment finder's frames of a signal fed in pieces: ``win`` samples every\n"
    "``hop``, centred; the low band's sums of ``low_block`` samples over the\n"
    "frame's window and one ``long_span`` samples long; energies summed in\n"
    "numpy's pairwise order.";

PyType_Slot measures_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(measures_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(measures_dealloc)},
    {Py_tp_methods, measures_methods},
    {Py_tp_doc, const_cast<char*>(measures_doc)},
    {0, nullptr},
};

PyType_Spec measures_spec = {
    "ostrel._segments.Measures", sizeof(MeasuresObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    measures_slots,
};

int exec_module(PyObject* module)
{
    PyObject* type = PyType_FromModuleAndSpec(module, &measures_spec, nullptr);
    if (type == nullptr) {
        return -1;
    }
    const int added = PyModule_AddObjectRef(module, "Measures", type);
    Py_DECREF(type);
    // This module's kernels keep their own record of the twins they ran, for ostrel._cpu.twins().
    ostrel::kernels::publish_twins_record(ostrel::kernels::segments_twins_key);
    return added;
}

PyModuleDef_Slot slots[] = {
    // No claim to run without the GIL or under a GIL per interpreter, as the
    // package's other modules: a Measures object's busy flag is a guard
    // against a second caller, not a lock, and the CPU choice is process-wide.
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyMethodDef no_functions[] = {ostrel::private_module::methods_end()};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "ostrel._segments",
    "The segment finder's per-frame measurements (private to ostrel.analysis).", 0, no_functions, slots, nullptr,
    nullptr, nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__segments()
{
    // The same choice of instruction sets as fenwy's kernels, from the same
    // variable; fenwy reports unknown names.
    ostrel::kernels::configure_cpu_features();
    return PyModuleDef_Init(&module);
}
