// ostrel._crossings: zero crossings with a zero counted as positive, for
// the analysis layer's option of that name.  ostrel.fenwy keeps its own
// rule; this private module sits beside it, outside its namespace.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cfenv>
#include <cstring>
#include <optional>

#include "kernels/cpu/cpu_features.hpp"
#include "kernels/crossings/zero_positive.hpp"
#include "module/buffer_view.hpp"
#include "module/private_module.hpp"

namespace {

using ostrel::BufferView;
using ostrel::kernels::Element;
using ostrel::kernels::Framing;
using ostrel::kernels::Signal;
using ostrel::private_module::ssize_of;
using ostrel::private_module::takes_arguments;

// The element type of a buffer's format in native byte order; struct's
// sizes for '=' and '<', the platform's for '@' and none.
std::optional<Element> element_of(const Py_buffer& view)
{
    const char* format = view.format == nullptr ? "B" : view.format;
    const bool little = PY_LITTLE_ENDIAN;
    if (*format == '@' || *format == '=' || (*format == '<' && little)) {
        ++format;
    }
    if (format[0] == '\0' || format[1] != '\0') {
        return std::nullopt;
    }
    const bool is_signed = format[0] == 'b' || format[0] == 'h' || format[0] == 'i' || format[0] == 'l' || format[0] == 'q';
    const bool is_unsigned = format[0] == 'B' || format[0] == 'H' || format[0] == 'I' || format[0] == 'L' || format[0] == 'Q';
    if (format[0] == 'd' && view.itemsize == 8) {
        return Element::float64;
    }
    if (format[0] == 'f' && view.itemsize == 4) {
        return Element::float32;
    }
    if (!is_signed && !is_unsigned) {
        return std::nullopt;
    }
    switch (view.itemsize) {
    case 1: return is_signed ? Element::int8 : Element::uint8;
    case 2: return is_signed ? Element::int16 : Element::uint16;
    case 4: return is_signed ? Element::int32 : Element::uint32;
    case 8: return is_signed ? Element::int64 : Element::uint64;
    default: return std::nullopt;
    }
}

// A one-dimensional buffer of numbers as the kernels read it.
std::optional<Signal> signal_of(PyObject* object, BufferView& held, const char* function)
{
    if (!held.acquire(object, PyBUF_STRIDES | PyBUF_FORMAT)) {
        return std::nullopt;
    }
    const Py_buffer& view = held.view();
    const std::optional<Element> element = element_of(view);
    if (view.ndim != 1 || !element) {
        PyErr_Format(PyExc_TypeError, "%s() takes a one-dimensional buffer of floats or integers, got format '%s' in %d dimensions",
                     function, view.format == nullptr ? "B" : view.format, view.ndim);
        return std::nullopt;
    }
    return Signal{static_cast<const char*>(view.buf), view.shape[0], view.strides[0], *element};
}

// The kernels compare NaN with an ordered comparison, which raises the
// invalid flag; numpy and fenwy's fast paths read that flag, so it is put
// back as it was.
class InvalidFlagKept {
public:
    InvalidFlagKept() : raised_(std::fetestexcept(FE_INVALID) != 0) {}
    InvalidFlagKept(const InvalidFlagKept&) = delete;
    InvalidFlagKept& operator=(const InvalidFlagKept&) = delete;
    ~InvalidFlagKept()
    {
        if (!raised_) {
            std::feclearexcept(FE_INVALID);
        }
    }

private:
    bool raised_;
};

std::optional<Py_ssize_t> positive(PyObject* object, const char* function, const char* what)
{
    const std::optional<Py_ssize_t> value = ssize_of(object);
    if (value && *value < 1) {
        PyErr_Format(PyExc_ValueError, "%s() needs a positive %s, got %zd", function, what, *value);
        return std::nullopt;
    }
    return value;
}

// (frames - 1) * hop + win + pad + length fits a Py_ssize_t; each part is
// taken from what is left, so that the check itself cannot overflow.
bool indices_fit(Py_ssize_t frames, Py_ssize_t win, Py_ssize_t hop, Py_ssize_t pad, Py_ssize_t length)
{
    Py_ssize_t room = PY_SSIZE_T_MAX;
    for (const Py_ssize_t part : {length, pad, win}) {
        if (part > room) {
            return false;
        }
        room -= part;
    }
    return frames - 1 <= room / hop;
}

constexpr const char count_doc[] =
    "count(x, /)\n--\n\n"
    "Neighbouring samples of the one-dimensional buffer ``x`` of which exactly\n"
    "one is negative: ``int(np.count_nonzero((x[:-1] < 0) != (x[1:] < 0)))``.";

PyObject* count(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    if (!takes_arguments("count", nargs, 1)) {
        return nullptr;
    }
    BufferView held;
    const std::optional<Signal> signal = signal_of(args[0], held, "count");
    if (!signal) {
        return nullptr;
    }
    std::ptrdiff_t changes = 0;
    Py_BEGIN_ALLOW_THREADS
    {
        const InvalidFlagKept kept;
        changes = ostrel::kernels::count_sign_changes(*signal);
    }
    Py_END_ALLOW_THREADS
    return PyLong_FromSsize_t(changes);
}

constexpr const char rates_doc[] =
    "rates(x, win, hop, pad, out, /)\n--\n\n"
    "Fill the C-contiguous float64 buffer ``out`` with one value a frame: the\n"
    "frame's sign changes (as :func:`count` counts them) divided by ``win``,\n"
    "frame f being samples f*hop to f*hop + win of ``x`` with ``pad`` zeros in\n"
    "front, cut short at its end; frames starting past the end are 0.";

PyObject* rates(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    if (!takes_arguments("rates", nargs, 5)) {
        return nullptr;
    }
    const std::optional<Py_ssize_t> win = positive(args[1], "rates", "window");
    if (!win) {
        return nullptr;
    }
    const std::optional<Py_ssize_t> hop = positive(args[2], "rates", "hop");
    if (!hop) {
        return nullptr;
    }
    const std::optional<Py_ssize_t> pad = ssize_of(args[3]);
    if (!pad) {
        return nullptr;
    }
    if (*pad < 0) {
        PyErr_Format(PyExc_ValueError, "rates() needs a padding of 0 or more, got %zd", *pad);
        return nullptr;
    }
    BufferView held;
    const std::optional<Signal> signal = signal_of(args[0], held, "rates");
    if (!signal) {
        return nullptr;
    }
    BufferView out;
    if (!out.acquire(args[4], PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE)) {
        return nullptr;
    }
    const std::optional<Element> out_element = element_of(out.view());
    if (out.view().ndim != 1 || out_element != Element::float64) {
        PyErr_SetString(PyExc_TypeError, "rates() writes into a one-dimensional buffer of float64 only");
        return nullptr;
    }
    // The kernels form the padded length and the last frame's end: neither may overflow.
    const Py_ssize_t frames = out.view().shape[0];
    if (frames > 0 && !indices_fit(frames, *win, *hop, *pad, signal->length)) {
        PyErr_SetString(PyExc_OverflowError, "rates(): too many frames for this hop");
        return nullptr;
    }
    const Framing framing{*pad, *win, *hop, frames};
    auto* into = static_cast<double*>(out.view().buf);
    Py_BEGIN_ALLOW_THREADS
    {
        const InvalidFlagKept kept;
        ostrel::kernels::sign_change_rates(*signal, framing, into);
    }
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    ostrel::private_module::method("count", count, count_doc),
    ostrel::private_module::method("rates", rates, rates_doc),
    ostrel::private_module::methods_end(),
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "ostrel._crossings",
    "Zero crossings with a zero counted as positive (private to ostrel.analysis).", 0, methods, ostrel::private_module::stateless_slots, nullptr,
    nullptr, nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__crossings()
{
    // The same choice of instruction sets as fenwy's kernels, from the same
    // variable; fenwy reports unknown names.
    ostrel::kernels::configure_cpu_features();
    return PyModuleDef_Init(&module);
}
