// A one-dimensional run of numbers in memory, as the kernels read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ostrel::kernels {

enum class Element : unsigned char { float64, float32, int8, uint8, int16, uint16, int32, uint32, int64, uint64 };

struct Signal {
    const char* data;
    std::ptrdiff_t length;
    std::ptrdiff_t stride;  // in bytes; may be negative
    Element element;
};

// The frames of a signal with `pad` virtual zeros in front of it.
struct Framing {
    std::ptrdiff_t pad;
    std::ptrdiff_t win;
    std::ptrdiff_t hop;
    std::ptrdiff_t frames;
};

template <class T>
inline T load(const char* at)
{
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Calls visit(T{}) with a value of the element's C++ type.
template <class Visit>
decltype(auto) with_element(Element element, Visit&& visit)
{
    switch (element) {
    case Element::float32: return visit(float{});
    case Element::int8: return visit(std::int8_t{});
    case Element::uint8: return visit(std::uint8_t{});
    case Element::int16: return visit(std::int16_t{});
    case Element::uint16: return visit(std::uint16_t{});
    case Element::int32: return visit(std::int32_t{});
    case Element::uint32: return visit(std::uint32_t{});
    case Element::int64: return visit(std::int64_t{});
    case Element::uint64: return visit(std::uint64_t{});
    case Element::float64: break;
    }
    return visit(double{});
}

} // namespace ostrel::kernels
