#include "kernels/shared/error_state.hpp"

#include "module/ref.hpp"

#include <array>
#include <cfenv>

namespace ostrel::kernels {
namespace {

// numpy 2 keeps its error state in a context variable, whose modes
// _get_extobj_dict gives by name; 1.x in a per-thread list from geterrobj,
// whose second item packs three bits of mode per category, 0 for "ignore".
enum class Layout { modes_by_name, packed_modes };

struct Reader {
    const char* module;
    const char* function;
    Layout layout;
};
constexpr std::array<Reader, 2> readers = {{
    {"numpy._core._multiarray_umath", "_get_extobj_dict", Layout::modes_by_name},
    {"numpy.core._multiarray_umath", "geterrobj", Layout::packed_modes},
}};

struct Category {
    int flag;
    const char* key;  // in numpy 2's dict
    int shift;        // in numpy 1.x's packed modes
};
constexpr std::array<Category, 4> categories = {{
    {FE_DIVBYZERO, "divide", 0},
    {FE_OVERFLOW, "over", 3},
    {FE_UNDERFLOW, "under", 6},
    {FE_INVALID, "invalid", 9},
}};

// Kept for the life of the process, like the rest of what start-up notes.
PyObject* reader_function = nullptr;
Layout reader_layout = Layout::modes_by_name;

Ref loaded_module(const char* name)
{
    Ref key = Ref::steal(PyUnicode_FromString(name));
    return Ref::steal(key ? PyImport_GetModule(key) : nullptr);
}

bool ignored_by_name(PyObject* modes, const Category& category)
{
    if (!PyDict_CheckExact(modes)) {
        return false;
    }
    PyObject* mode = PyDict_GetItemString(modes, category.key);
    return mode != nullptr && PyUnicode_CheckExact(mode) && PyUnicode_CompareWithASCIIString(mode, "ignore") == 0;
}

bool ignored_when_packed(PyObject* state, const Category& category)
{
    if (!PyList_CheckExact(state) || PyList_GET_SIZE(state) < 2 || !PyLong_CheckExact(PyList_GET_ITEM(state, 1))) {
        return false;
    }
    const long packed = PyLong_AsLong(PyList_GET_ITEM(state, 1));
    if (packed == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return ((packed >> category.shift) & 7) == 0;
}

} // namespace

void note_error_state_reader()
{
    Py_CLEAR(reader_function);
    // numpy has imported its core already: only sys.modules is asked.
    for (const Reader& reader : readers) {
        Ref module = loaded_module(reader.module);
        Ref function = Ref::steal(module ? PyObject_GetAttrString(module, reader.function) : nullptr);
        PyErr_Clear();
        // C code only: calling it must run nothing of Python's.
        if (function && PyCFunction_CheckExact(function.get())) {
            reader_function = function.release();
            reader_layout = reader.layout;
            return;
        }
    }
}

bool numpy_ignores(int raised)
{
    if (reader_function == nullptr) {
        return false;
    }
    Ref state = Ref::steal(PyObject_CallNoArgs(reader_function));
    if (!state) {
        PyErr_Clear();
        return false;
    }
    for (const Category& category : categories) {
        if ((raised & category.flag) == 0) {
            continue;
        }
        const bool ignored = reader_layout == Layout::modes_by_name ? ignored_by_name(state, category)
                                                                    : ignored_when_packed(state, category);
        if (!ignored) {
            return false;
        }
    }
    return true;
}

} // namespace ostrel::kernels
