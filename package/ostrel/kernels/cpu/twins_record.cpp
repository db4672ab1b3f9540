#include "kernels/cpu/twins_record.hpp"

#include "kernels/cpu/cpu_features.hpp"
#include "module/ref.hpp"

#include <iterator>

namespace ostrel::kernels {
namespace {

unsigned twins_run_at(int place)
{
    if (place < 0 || place >= static_cast<int>(std::size(twins_names))) {
        return 0;
    }
    return twins_run(static_cast<Twins>(place));
}

} // namespace

void publish_twins_record(const char* key)
{
    PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
    TwinsRun reader = &twins_run_at;
    Ref capsule = Ref::steal(PyCapsule_New(reinterpret_cast<void*>(reader), key, nullptr));
    if (shared == nullptr || !capsule || PyDict_SetItemString(shared, key, capsule) < 0) {
        PyErr_Clear();
    }
}

} // namespace ostrel::kernels
