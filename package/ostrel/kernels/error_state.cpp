#include "error_state.hpp"

#include "module/ref.hpp"
#include "module/state.hpp"

#include <array>
#include <cfenv>

namespace ostrel::kernels {
namespace {

struct Category {
    int flag;
    const char* key;  // in numpy's geterr()
};
constexpr std::array<Category, 4> categories = {{
    {FE_DIVBYZERO, "divide"},
    {FE_OVERFLOW, "over"},
    {FE_UNDERFLOW, "under"},
    {FE_INVALID, "invalid"},
}};

} // namespace

bool numpy_ignores(int raised)
{
    if (state.numpy == nullptr) {
        return false;
    }
    Ref geterr = Ref::steal(PyObject_GetAttrString(state.numpy, "geterr"));
    if (!geterr) {
        PyErr_Clear();
        return false;
    }
    // numpy's geterr is Python code: a signal handler's exception is the caller's.
    Ref modes = checked(PyObject_CallNoArgs(geterr));
    if (!PyDict_CheckExact(modes.get())) {
        return false;
    }
    for (const Category& category : categories) {
        if ((raised & category.flag) == 0) {
            continue;
        }
        PyObject* mode = PyDict_GetItemString(modes, category.key);
        if (mode == nullptr || !PyUnicode_CheckExact(mode) || PyUnicode_CompareWithASCIIString(mode, "ignore") != 0) {
            return false;
        }
    }
    return true;
}

} // namespace ostrel::kernels
