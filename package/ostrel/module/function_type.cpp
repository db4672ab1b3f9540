#include "function_type.hpp"

#include "binding.hpp"
#include "state.hpp"

#include <structmember.h>

#include <cstddef>

namespace ostrel {
namespace {

constexpr int optimised_function_flags = CO_OPTIMIZED | CO_NEWLOCALS;

FunctionObject* as_function(PyObject* object) { return reinterpret_cast<FunctionObject*>(object); }

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* keyword_names)
{
    return enter_front(*as_function(callable)->entry, args, PyVectorcall_NARGS(nargsf), keyword_names);
}

void function_dealloc(PyObject* self)
{
    FunctionObject* function = as_function(self);
    Py_XDECREF(function->name);
    Py_XDECREF(function->qualname);
    Py_XDECREF(function->module);
    Py_XDECREF(function->doc);
    Py_XDECREF(function->globals);
    Py_XDECREF(function->code);
    Py_XDECREF(function->defaults);
    Py_XDECREF(function->kwdefaults);
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self)
{
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Fetched through an instance the function binds to it, as a Python
// function does; only the absence of any instance gives the function itself.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*)
{
    if (instance == nullptr) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, instance);
}

// Pickled by reference: the name resolves through __module__.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

// __defaults__ and __kwdefaults__ accept what a Python function accepts; a
// deletion stores None.  Binding never reads them.
int replace_introspection_field(PyObject*& field, PyObject* value, bool accepted, const char* message)
{
    if (value != nullptr && value != Py_None && !accepted) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_SETREF(field, Py_NewRef(value != nullptr ? value : Py_None));
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) { return Py_NewRef(as_function(self)->defaults); }
PyObject* get_kwdefaults(PyObject* self, void*) { return Py_NewRef(as_function(self)->kwdefaults); }

int set_defaults(PyObject* self, PyObject* value, void*)
{
    return replace_introspection_field(as_function(self)->defaults, value, value && PyTuple_Check(value),
                                       "__defaults__ must be set to a tuple object");
}

int set_kwdefaults(PyObject* self, PyObject* value, void*)
{
    return replace_introspection_field(as_function(self)->kwdefaults, value, value && PyDict_Check(value),
                                       "__kwdefaults__ must be set to a dict object");
}

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), READONLY, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {nullptr},
};

PyGetSetDef function_getset[] = {
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr},
};

} // namespace

PyTypeObject function_type = [] {
    PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = "ostrel.fenwy.function";
    type.tp_basicsize = sizeof(FunctionObject);
    type.tp_dealloc = function_dealloc;
    type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    type.tp_repr = function_repr;
    type.tp_call = PyVectorcall_Call;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    type.tp_doc = "A function of ostrel.fenwy.";
    type.tp_methods = function_methods;
    type.tp_members = function_members;
    type.tp_getset = function_getset;
    type.tp_descr_get = function_descr_get;
    return type;
}();

PyObject* new_function(const FunctionEntry& entry, PyObject* code, PyObject* defaults)
{
    const Signature& signature = entry.signature;
    Ref object = Ref::steal(PyType_GenericAlloc(&function_type, 0));
    if (!object) {
        return nullptr;
    }
    FunctionObject* function = as_function(object);
    function->vectorcall = function_vectorcall;
    function->entry = &entry;
    function->name = Py_NewRef(name(signature.global));
    function->qualname = Py_NewRef(function->name);
    function->module = Py_NewRef(name(Name::ostrel_fenwy));
    function->doc = PyUnicode_FromString(signature.doc);
    function->globals = Py_NewRef(state.globals);
    function->code = Py_NewRef(code);
    function->defaults = Py_NewRef(defaults);
    function->kwdefaults = Py_NewRef(Py_None);
    if (!function->doc) {
        return nullptr;
    }
    return object.release();
}

PyObject* new_introspection_code(const Signature& signature)
{
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(source_file, signature.name, signature.def_line)));
    Ref varnames = Ref::steal(PyTuple_New(signature.varname_count));
    if (!empty || !varnames) {
        return nullptr;
    }
    for (int index = 0; index < signature.varname_count; ++index) {
        PyTuple_SET_ITEM(varnames.get(), index, Py_NewRef(name(signature.varnames[static_cast<std::size_t>(index)])));
    }
    Ref replace = Ref::steal(PyObject_GetAttrString(empty, "replace"));
    Ref fields = Ref::steal(Py_BuildValue("{s:i,s:i,s:i,s:O}", "co_argcount", signature.total, "co_nlocals",
                                          signature.varname_count, "co_flags", optimised_function_flags,
                                          "co_varnames", varnames.get()));
    if (!replace || !fields) {
        return nullptr;
    }
    return PyObject_Call(replace, state.empty_tuple, fields);
}

} // namespace ostrel
