// ostrel._cpu: which CPU paths the kernels take in this process, for the
// command line's --version.  A module of its own, so that the namespace of
// ostrel.fenwy stays exactly its five functions.  It is built from the same
// choice code as ostrel.fenwy and reads the same environment variable once,
// so both decide alike; it leaves the warning about unknown names to
// ostrel.fenwy's import.
#include "ref.hpp"

#include "kernels/cpu_features.hpp"

#include <iterator>

namespace ostrel {
namespace {

const char* use_name(kernels::CpuFeatureUse use)
{
    switch (use) {
    case kernels::CpuFeatureUse::used:
        return "used";
    case kernels::CpuFeatureUse::disabled:
        return "disabled";
    case kernels::CpuFeatureUse::unavailable:
        break;
    }
    return "unavailable";
}

PyObject* features(PyObject*, PyObject*)
{
    Ref pairs = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(std::size(kernels::cpu_feature_names))));
    if (!pairs) {
        return nullptr;
    }
    Py_ssize_t index = 0;
    for (const auto& feature : kernels::cpu_feature_names) {
        PyObject* pair = Py_BuildValue("(ss)", feature.name, use_name(kernels::cpu_feature_use(feature.feature)));
        if (pair == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(pairs.get(), index++, pair);
    }
    return pairs.release();
}

int exec_report(PyObject*)
{
    kernels::configure_cpu_features();
    return 0;
}

PyMethodDef report_methods[] = {
    {"features", features, METH_NOARGS,
     "features()\n--\n\n((name, use), ...) for every optional CPU feature of the kernels; use is 'used', "
     "'disabled' (by OSTREL_DISABLE_CPU_FEATURES) or 'unavailable' (not on this processor or build)."},
    {nullptr},
};

PyModuleDef_Slot report_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_report)},
    {0, nullptr},
};

PyModuleDef report_definition = {
    PyModuleDef_HEAD_INIT, "_cpu", "Which CPU paths the kernels of ostrel.fenwy take.", 0, report_methods,
    report_slots, nullptr, nullptr, nullptr,
};

} // namespace
} // namespace ostrel

PyMODINIT_FUNC PyInit__cpu()
{
    return PyModuleDef_Init(&ostrel::report_definition);
}
