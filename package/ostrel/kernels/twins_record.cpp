// The kernels' record of the twins they ran, handed to ostrel._cpu.  That
// module is a library of its own, with its own copy of any state, and
// ostrel.fenwy's namespace holds its functions only: the record is reached
// through this one exported symbol of ostrel.fenwy's library instead.
#include "cpu_features.hpp"

#include <Python.h>

#include <iterator>

extern "C" Py_EXPORTED_SYMBOL unsigned ostrel_twins_run(int place)
{
    using namespace ostrel::kernels;
    if (place < 0 || place >= static_cast<int>(std::size(twins_names))) {
        return 0;
    }
    return twins_run(static_cast<Twins>(place));
}
