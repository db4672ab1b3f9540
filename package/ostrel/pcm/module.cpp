// ostrel._pcm: the private decoder behind the analysis layer's WAV reading.
// It fills a caller's float64 buffer from a caller's bytes, with the GIL
// released, so that reading the next block can overlap the analysis of
// the current one.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <optional>

#include "module/buffer_view.hpp"
#include "module/private_module.hpp"
#include "pcm/decode.hpp"

namespace {

using ostrel::BufferView;
using ostrel::private_module::ssize_of;
using ostrel::private_module::takes_arguments;

bool is_native_float64(const Py_buffer& view)
{
    const char* format = view.format == nullptr ? "B" : view.format;
    return view.itemsize == 8 && (std::strcmp(format, "d") == 0 || std::strcmp(format, "=d") == 0);
}

constexpr const char decode_doc[] =
    "decode(raw, width, channels, out, mix, /)\n--\n\n"
    "Decode the whole frames of little-endian PCM bytes ``raw`` (``width``\n"
    "bytes a sample, ``channels`` interleaved) into the C-contiguous float64\n"
    "buffer ``out``: one value a frame, the mean of its channels, with ``mix``;\n"
    "every sample otherwise.  Returns the number of frames decoded.";

PyObject* decode(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    if (!takes_arguments("decode", nargs, 5)) {
        return nullptr;
    }
    const std::optional<Py_ssize_t> width = ssize_of(args[1]);
    const std::optional<Py_ssize_t> channels = width ? ssize_of(args[2]) : std::nullopt;
    if (!channels) {
        return nullptr;
    }
    const int mix = PyObject_IsTrue(args[4]);
    if (mix < 0) {
        return nullptr;
    }
    // A WAV header counts channels in 16 bits; the channel sums rely on it.
    if (*width < 1 || *width > 4 || *channels < 1 || *channels > 65535) {
        PyErr_Format(PyExc_ValueError, "decode() needs a width of 1 to 4 bytes and 1 to 65535 channels, got %zd and %zd",
                     *width, *channels);
        return nullptr;
    }
    BufferView raw;
    BufferView out;
    if (!raw.acquire(args[0], PyBUF_SIMPLE) || !out.acquire(args[3], PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE)) {
        return nullptr;
    }
    if (!is_native_float64(out.view())) {
        PyErr_SetString(PyExc_TypeError, "decode() writes into a buffer of native float64 only");
        return nullptr;
    }
    const Py_ssize_t frames = raw.view().len / (*width * *channels);
    const Py_ssize_t values = mix ? frames : frames * *channels;
    if (out.view().len / 8 < values) {
        PyErr_Format(PyExc_ValueError, "decode() needs room for %zd values, the buffer holds %zd", values,
                     out.view().len / 8);
        return nullptr;
    }
    const auto* bytes = static_cast<const unsigned char*>(raw.view().buf);
    auto* into = static_cast<double*>(out.view().buf);
    Py_BEGIN_ALLOW_THREADS
    ostrel::pcm::decode(bytes, static_cast<std::size_t>(frames), static_cast<int>(*width),
                        static_cast<std::size_t>(*channels), mix != 0, into);
    Py_END_ALLOW_THREADS
    return PyLong_FromSsize_t(frames);
}

PyMethodDef methods[] = {
    ostrel::private_module::method("decode", decode, decode_doc),
    ostrel::private_module::methods_end(),
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "ostrel._pcm", "Native decoding of PCM WAV samples (private to ostrel.analysis).", 0,
    methods, ostrel::private_module::stateless_slots, nullptr, nullptr, nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__pcm()
{
    return PyModuleDef_Init(&module);
}
