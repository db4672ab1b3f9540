// The bodies of the frame-wise features.
#pragma once

#include "module/body.hpp"

namespace ostrel {

Ref calc_num_frames_body(Steps& steps, PyObject* const* values);
Ref calc_energy_body(Steps& steps, PyObject* const* values);
Ref calc_zc_body(Steps& steps, PyObject* const* values);
Ref num_zerocrossings_body(Steps& steps, PyObject* const* values);

} // namespace ostrel
