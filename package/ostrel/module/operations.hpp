// The object operations the bodies compute with.  Each gives the result of
// the corresponding Python expression and throws PythonError on failure.
#pragma once

#include "names.hpp"
#include "ref.hpp"

#include <cstdint>

namespace ostrel {

// One per use site of a module global: the namespace version seen last and
// the value found then (borrowed; never used once the namespace changed).
struct GlobalCache {
    std::uint64_t version = 0;
    PyObject* value = nullptr;
};

Ref lookup_global(Name global, GlobalCache& cache);
Ref get_attr(PyObject* object, Name attribute);

Ref call_array(PyObject* callable, PyObject* const* args, Py_ssize_t count);
template <class... Args>
Ref call(PyObject* callable, const Args&... args)
{
    PyObject* const array[] = {static_cast<PyObject*>(args)...};
    return call_array(callable, array, sizeof...(Args));
}

Ref slice_with(PyObject* object, PyObject* slice);
Ref slice_range(PyObject* object, PyObject* start, PyObject* stop);
Ref item_at(PyObject* object, Py_ssize_t index);
Ref item_by_key(PyObject* object, PyObject* key);

Ref floor_divide_by_2(PyObject* object);
Ref add_one(PyObject* object);
Ref to_float(PyObject* object);
bool is_true(PyObject* object);

Ref add(PyObject* left, PyObject* right);
Ref subtract(PyObject* left, PyObject* right);
Ref multiply(PyObject* left, PyObject* right);
Ref true_divide(PyObject* left, PyObject* right);
Ref less_than(PyObject* left, PyObject* right);
Ref greater_than(PyObject* left, PyObject* right);
void set_item(PyObject* object, PyObject* key, PyObject* value);
Ref length_of(PyObject* object);
Py_ssize_t length(PyObject* object);
Ref pair(PyObject* first, PyObject* second);
Ref to_int(PyObject* object);
bool is_negative_int(PyObject* object);

// Integer numpy arrays, whose products would wrap in their own type, are
// promoted to float64 before multiplying; anything else is returned as is.
Ref promote_integer_array(PyObject* object);
bool is_empty_array(PyObject* object);

// The loop over the range cached at start-up.
class RangeLoop {
public:
    explicit RangeLoop(PyObject* count);
    // Binds the next item to `item`; false once the iteration has ended.
    bool next(Ref& item);

private:
    Ref items_;
    Ref iterator_;
    Py_ssize_t position_ = 0;
};

} // namespace ostrel
