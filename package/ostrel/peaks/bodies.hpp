// The body of peak finding.
#pragma once

#include "module/body.hpp"

namespace ostrel {

Ref find_peaks_body(Steps& steps, PyObject* const* values);

} // namespace ostrel
