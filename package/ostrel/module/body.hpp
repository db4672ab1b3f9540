// What a function body is, and the per-call context that names the line a
// failure records.
#pragma once

#include "ref.hpp"
#include "signatures.hpp"

namespace ostrel {

// Each body announces the source line of the statement it is about to run;
// whatever fails afterwards is recorded at that line.
class Steps {
public:
    void at(int line) noexcept { line_ = line; }
    int line() const noexcept { return line_; }

private:
    int line_ = 0;
};

// A body receives exactly one borrowed value per parameter, in order.
using Body = Ref (*)(Steps& steps, PyObject* const* values);

struct FunctionEntry {
    const Signature& signature;
    Body body;
};

} // namespace ostrel
