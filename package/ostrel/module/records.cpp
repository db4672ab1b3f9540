#include "records.hpp"

#include "names.hpp"
#include "ref.hpp"
#include "state.hpp"

#include <frameobject.h>
// A frame's line number is only writable through the interpreter's own
// frame layout; this file alone reaches into it.
#define Py_BUILD_CORE 1
#include <internal/pycore_frame.h>
#undef Py_BUILD_CORE

#include <map>
#include <string>
#include <utility>

namespace ostrel {
namespace {

// Kept for the life of the process: one code object per distinct record.
std::map<std::pair<std::string, int>, PyCodeObject*>& kept_codes()
{
    static auto* codes = new std::map<std::pair<std::string, int>, PyCodeObject*>;
    return *codes;
}

PyCodeObject* code_for_record(const char* function_name, int line)
{
    auto key = std::make_pair(std::string(function_name), line);
    auto& codes = kept_codes();
    if (auto found = codes.find(key); found != codes.end()) {
        return found->second;
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyCodeObject* code = PyCode_NewEmpty(source_file, function_name, line);
    if (!code) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return nullptr;
    }
    PyErr_Restore(type, value, traceback);
    codes.emplace(std::move(key), code);
    return code;
}

} // namespace

void add_traceback_record(const char* function_name, int line)
{
    PyThreadState* thread = PyThreadState_Get();
    PyCodeObject* code = code_for_record(function_name, line);
    if (!code) {
        return;
    }
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(thread, code, state.globals, nullptr)));
    if (!frame) {
        return;
    }
    auto* record_frame = reinterpret_cast<PyFrameObject*>(frame.get());
    record_frame->f_lineno = line;
    PyTraceBack_Here(record_frame);
}

} // namespace ostrel
