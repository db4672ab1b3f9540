// The module definition, its create and exec steps and the one exported symbol.
#include "function_type.hpp"
#include "names.hpp"
#include "namespaces.hpp"
#include "records.hpp"
#include "state.hpp"

#include "features/bodies.hpp"
#include "kernels/cpu/cpu_features.hpp"
#include "kernels/shared/error_state.hpp"
#include "kernels/shared/gate.hpp"
#include "kernels/cpu/twins_record.hpp"
#include "peaks/bodies.hpp"

#include <array>
#include <cstdio>
#include <string>

namespace ostrel {
namespace {

constexpr std::array<FunctionEntry, 5> entries{{
    {calc_num_frames_signature, calc_num_frames_body},
    {calc_energy_signature, calc_energy_body},
    {calc_zc_signature, calc_zc_body},
    {num_zerocrossings_signature, num_zerocrossings_body},
    {find_peaks_signature, find_peaks_body},
}};

// The minor version of the headers compiled against: an extension built for
// one minor version of CPython is not meant for another.
constexpr unsigned long built_for_version = PY_VERSION_HEX & ~0xFFFFUL;

struct SpecField {
    const char* spec_attribute;
    const char* module_attribute;
    bool skips_none;
};
constexpr std::array<SpecField, 4> copied_spec_fields{{
    {"loader", "__loader__", false},
    {"origin", "__file__", false},
    {"parent", "__package__", false},
    {"submodule_search_locations", "__path__", true},
}};

// A failed exec step from the sys.modules entry onwards: one record, line
// of the failing statement.
int fail_at(int line)
{
    add_traceback_record(init_record_name, line);
    return -1;
}

bool copy_spec_fields(PyObject* spec, PyObject* module)
{
    PyObject* namespace_ = PyModule_GetDict(module);
    for (const SpecField& field : copied_spec_fields) {
        Ref value = Ref::steal(PyObject_GetAttrString(spec, field.spec_attribute));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return false;
            }
            PyErr_Clear();
            continue;
        }
        if (field.skips_none && value.get() == Py_None) {
            continue;
        }
        if (PyDict_SetItemString(namespace_, field.module_attribute, value) < 0) {
            return false;
        }
    }
    return true;
}

PyObject* create_module(PyObject* spec, PyModuleDef*)
{
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (state.interpreter_id == -1) {
        if (interpreter == -1) {
            return nullptr;
        }
        state.interpreter_id = interpreter;
    } else if (state.interpreter_id != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (state.module != nullptr) {
        return Py_NewRef(state.module);
    }
    Ref module_name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!module_name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(module_name));
    if (!module || !copy_spec_fields(spec, module)) {
        return nullptr;
    }
    return module.release();
}

bool warn_on_version_mismatch()
{
    const unsigned long running = Py_Version;
    if ((running & ~0xFFFFUL) == built_for_version) {
        return true;
    }
    char message[200];
    std::snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, module_name, "does not match", static_cast<int>((running >> 24) & 0xFF),
                  static_cast<int>((running >> 16) & 0xFF));
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

// The kernels' choice of CPU paths is fixed here, once; a misspelt name in
// the variable must not pass unnoticed, yet must not stop the import either.
bool configure_cpu_paths()
{
    const std::string unknown = kernels::configure_cpu_features();
    kernels::publish_twins_record(kernels::fenwy_twins_key);
    if (unknown.empty()) {
        return true;
    }
    std::string known;
    for (const auto& feature : kernels::cpu_feature_names) {
        known += known.empty() ? "" : ", ";
        known += feature.name;
    }
    const std::string message = "OSTREL_DISABLE_CPU_FEATURES: ignored unknown CPU feature names " + unknown
                              + " (known: " + known + ")";
    return PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) == 0;
}

bool ensure_sys_modules_entry(PyObject* module)
{
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = PyDict_GetItemWithError(modules, name(Name::ostrel_fenwy));
    if (existing != nullptr) {
        return true;
    }
    return !PyErr_Occurred() && PyDict_SetItem(modules, name(Name::ostrel_fenwy), module) == 0;
}

// The attribute, or an empty Ref when it is missing; false with the
// exception set for any other failure.
bool attribute_if_present(PyObject* object, Name attribute, Ref& value)
{
    value = Ref::steal(PyObject_GetAttr(object, name(attribute)));
    if (value) {
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return false;
    }
    PyErr_Clear();
    return true;
}

// 1 while a loaded numpy is still being imported, 0 when it is ready (a
// missing __spec__ or _initializing counts as ready), -1 on error.
int is_initializing(PyObject* loaded)
{
    Ref spec;
    Ref flag;
    if (!attribute_if_present(loaded, Name::dunder_spec, spec)) {
        return -1;
    }
    if (spec && !attribute_if_present(spec, Name::initializing, flag)) {
        return -1;
    }
    return flag ? PyObject_IsTrue(flag) : 0;
}

Ref import_numpy()
{
    // Held before the check: reading __spec__ may run code that drops the entry.
    Ref loaded = Ref::borrow(PyDict_GetItemWithError(PyImport_GetModuleDict(), name(Name::numpy)));
    if (!loaded && PyErr_Occurred()) {
        return Ref{};
    }
    if (loaded) {
        const int initializing = is_initializing(loaded);
        if (initializing < 0) {
            return Ref{};
        }
        if (!initializing) {
            return loaded;
        }
    }
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) {
        return Ref{};
    }
    return Ref::steal(PyImport_ImportModuleLevelObject(name(Name::numpy), state.globals, locals, nullptr, 0));
}

// The array type is kept only to recognise integer arrays, whose products
// are formed in float64; a stand-in numpy without one simply gets none.
bool keep_array_type(PyObject* numpy)
{
    Ref ndarray;
    if (!attribute_if_present(numpy, Name::ndarray, ndarray)) {
        return false;
    }
    keep(state.ndarray_type, ndarray && PyType_Check(ndarray.get()) ? ndarray.release() : nullptr);
    return true;
}

// numpy and the functions the bodies call, as they are now; a missing one
// is kept as none and keeps the native fast paths off.
bool keep_numpy_originals(PyObject* numpy)
{
    keep(state.numpy, Py_NewRef(numpy));
    for (int index = 0; index < numpy_function_count; ++index) {
        const Name function = static_cast<Name>(static_cast<int>(first_numpy_function) + index);
        Ref value;
        if (!attribute_if_present(numpy, function, value)) {
            return false;
        }
        keep(numpy_function(function), value.release());
    }
    Ref intp;
    Ref getbufsize;
    if (!attribute_if_present(numpy, Name::intp, intp) || !attribute_if_present(numpy, Name::getbufsize, getbufsize)) {
        return false;
    }
    keep(state.intp, intp.release());
    keep(state.getbufsize, getbufsize.release());
    return true;
}

bool bind_numpy()
{
    Ref numpy = import_numpy();
    if (!numpy || PyDict_SetItem(state.globals, name(Name::np), numpy) < 0 || !keep_array_type(numpy)
        || !keep_numpy_originals(numpy)) {
        return false;
    }
    kernels::note_numpy_names();
    kernels::note_error_state_reader();
    return true;
}

PyObject* defaults_for(const Signature& signature)
{
    switch (signature.optional_default) {
    case Default::true_object:
        return state.defaults_true;
    case Default::none_object:
        return state.defaults_none;
    case Default::none:
        break;
    }
    return Py_None;
}

int exec_steps(PyObject* module)
{
    state.globals = PyModule_GetDict(module);
    // Without its changes followed, every look-up simply goes to the namespace.
    follow_changes(state.globals);
    if (!keep(state.builtins, Py_XNewRef(PyImport_AddModule("builtins")))
        || PyObject_SetAttrString(module, "__builtins__", state.builtins) < 0) {
        return -1;
    }
    if (!warn_on_version_mismatch() || !configure_cpu_paths() || !fill_constants() || PyType_Ready(&function_type) < 0) {
        return -1;
    }
    if (!ensure_sys_modules_entry(module) || !fetch_range() || !build_slices_and_defaults()) {
        return fail_at(1);
    }
    std::array<Ref, entries.size()> codes;
    for (std::size_t index = 0; index < entries.size(); ++index) {
        codes[index] = Ref::steal(new_introspection_code(entries[index].signature));
        if (!codes[index]) {
            return fail_at(1);
        }
    }
    if (!bind_numpy()) {
        return fail_at(1);
    }
    for (std::size_t index = 0; index < entries.size(); ++index) {
        const Signature& signature = entries[index].signature;
        Ref function = Ref::steal(new_function(entries[index], codes[index], defaults_for(signature)));
        if (!function || PyDict_SetItem(state.globals, name(signature.global), function) < 0) {
            return fail_at(signature.def_line);
        }
        keep(own_function(signature.global), function.release());
    }
    Ref test_table = Ref::steal(PyDict_New());
    if (!test_table || PyDict_SetItem(state.globals, name(Name::dunder_test), test_table) < 0) {
        return fail_at(1);
    }
    return 0;
}

int exec_module(PyObject* module)
{
    if (state.module != nullptr) {
        if (state.module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'fenwy' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    state.module = Py_NewRef(module);
    if (exec_steps(module) < 0) {
        Py_CLEAR(state.module);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyMethodDef no_module_methods[] = {{nullptr}};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "fenwy",
    nullptr,
    0,
    no_module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace
} // namespace ostrel

PyMODINIT_FUNC PyInit_fenwy(void)
{
    return PyModuleDef_Init(&ostrel::module_definition);
}
