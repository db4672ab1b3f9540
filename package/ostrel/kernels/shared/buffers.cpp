#include "kernels/shared/buffers.hpp"

#include "module/state.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

namespace ostrel::kernels {
namespace {

// A lone struct-module code (no byte-order prefix: native order) and item size.
std::optional<Element> element_of(std::string_view format, Py_ssize_t size)
{
    if (format.size() != 1) {
        return std::nullopt;
    }
    const char code = format[0];
    if (code == 'd' && size == 8) {
        return Element::float64;
    }
    if (code == 'f' && size == 4) {
        return Element::float32;
    }
    const bool is_signed = std::string_view{"bhilq"}.find(code) != std::string_view::npos;
    const bool is_unsigned = std::string_view{"BHILQ"}.find(code) != std::string_view::npos;
    if (!is_signed && !is_unsigned) {
        return std::nullopt;
    }
    switch (size) {
    case 1: return is_signed ? Element::int8 : Element::uint8;
    case 2: return is_signed ? Element::int16 : Element::uint16;
    case 4: return is_signed ? Element::int32 : Element::uint32;
    case 8: return is_signed ? Element::int64 : Element::uint64;
    default: return std::nullopt;
    }
}

} // namespace

bool HeldBuffer::acquire(PyObject* object, int flags)
{
    release();
    held_ = PyObject_GetBuffer(object, &view_, flags) == 0;
    return held_;
}

void HeldBuffer::release()
{
    if (held_) {
        PyBuffer_Release(&view_);
        held_ = false;
    }
}

bool HeldSignal::claim(PyObject* x)
{
    // Lengths up to 2**48 keep every frame count exact in float64.
    constexpr Py_ssize_t longest = Py_ssize_t{1} << 48;
    if (Py_TYPE(x) != reinterpret_cast<PyTypeObject*>(state.ndarray_type)) {
        return false;
    }
    if (!buffer_.acquire(x, PyBUF_RECORDS_RO)) {
        PyErr_Clear();
        return false;
    }
    const Py_buffer& view = buffer_.view();
    if (view.ndim != 1 || view.format == nullptr || view.shape[0] >= longest) {
        return false;
    }
    // The element first: only a known one has a size to divide by (items of
    // structured or void types may have none).
    const std::optional<Element> element = element_of(view.format, view.itemsize);
    if (!element) {
        return false;
    }
    const bool aligned = reinterpret_cast<std::uintptr_t>(view.buf) % view.itemsize == 0
                      && view.strides[0] % view.itemsize == 0;
    if (!aligned) {
        return false;
    }
    signal_ = Signal{static_cast<const char*>(view.buf), view.shape[0], view.strides[0], *element};
    return true;
}

bool NewArray::make(std::ptrdiff_t length, PyObject* dtype)
{
    Ref size = Ref::steal(PyLong_FromSsize_t(length));
    if (size) {
        PyObject* const args[] = {size.get(), dtype};
        array_ = Ref::steal(PyObject_Vectorcall(numpy_function(Name::empty), args, dtype != nullptr ? 2 : 1, nullptr));
    }
    if (!array_ || !buffer_.acquire(array_, PyBUF_WRITABLE)) {
        PyErr_Clear();
        return false;
    }
    return true;
}

Ref NewArray::finish()
{
    buffer_.release();
    return std::move(array_);
}

} // namespace ostrel::kernels
