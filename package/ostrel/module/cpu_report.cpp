// ostrel._cpu: which CPU paths the kernels take in this process, for the
// command line's --version.  A module of its own, so that the namespace of
// ostrel.fenwy stays exactly its five functions.  It is built from the same
// choice code as ostrel.fenwy and reads the same environment variable once,
// so both decide alike; it leaves the warning about unknown names to
// ostrel.fenwy's import.
#include "ref.hpp"

#include "kernels/cpu/cpu_features.hpp"
#include "kernels/cpu/twins_record.hpp"

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

// The reader of the record `record.module` left in the interpreter's
// dictionary (importing the module if need be).
kernels::TwinsRun twins_reader(const kernels::TwinsRecord& record)
{
    Ref module = Ref::steal(PyImport_ImportModule(record.module));
    if (!module) {
        return nullptr;
    }
    PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
    PyObject* capsule = shared != nullptr ? PyDict_GetItemString(shared, record.key) : nullptr;
    void* reader = capsule != nullptr ? PyCapsule_GetPointer(capsule, record.key) : nullptr;
    if (reader == nullptr) {
        PyErr_Clear();
        PyErr_Format(PyExc_RuntimeError, "%s's record of the kernels' twins was not found", record.module);
    }
    return reinterpret_cast<kernels::TwinsRun>(reader);
}

const char* twin_name(unsigned run)
{
    switch (run) {
    case kernels::portable_twin:
        return "portable";
    case kernels::featured_twin:
        return "featured";
    case kernels::portable_twin | kernels::featured_twin:
        return "both";
    default:
        return "none";
    }
}

PyObject* twins(PyObject*, PyObject*)
{
    kernels::TwinsRun readers[std::size(kernels::twins_records)];
    for (std::size_t module = 0; module < std::size(kernels::twins_records); ++module) {
        readers[module] = twins_reader(kernels::twins_records[module]);
        if (readers[module] == nullptr) {
            return nullptr;
        }
    }
    Ref record = Ref::steal(PyDict_New());
    if (!record) {
        return nullptr;
    }
    for (int place = 0; place < static_cast<int>(std::size(kernels::twins_names)); ++place) {
        // A place is in the kernels of several modules (the crossings' in fenwy's and the segments'):
        // every twin any of them ran.
        unsigned run = 0;
        for (const kernels::TwinsRun reader : readers) {
            run |= reader(place);
        }
        Ref twin = Ref::steal(PyUnicode_FromString(twin_name(run)));
        if (!twin || PyDict_SetItemString(record, kernels::twins_names[place], twin) < 0) {
            return nullptr;
        }
    }
    return record.release();
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
    {"twins", twins, METH_NOARGS,
     "twins()\n--\n\n{place: twin} for every place where the kernels of ostrel.fenwy and ostrel._segments choose between a twin using "
     "optional CPU features and its portable twin: which of them ran in this process so far ('featured', "
     "'portable', 'both' or 'none')."},
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
