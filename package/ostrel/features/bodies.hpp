// The bodies of the frame-wise features.
#pragma once

#include "module/body.hpp"

namespace ostrel {

// The line of num_zerocrossings' counting statement, which calc_zc's native
// path also records.
inline constexpr int count_line = 87;

Ref calc_num_frames_body(Steps& steps, PyObject* const* values);
Ref calc_energy_body(Steps& steps, PyObject* const* values);
Ref calc_zc_body(Steps& steps, PyObject* const* values);
Ref num_zerocrossings_body(Steps& steps, PyObject* const* values);

} // namespace ostrel
