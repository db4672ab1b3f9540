#include "records.hpp"

#include "pending_exception.hpp"

#include "names.hpp"
#include "ref.hpp"
#include "state.hpp"

#include <frameobject.h>

#include <map>
#include <new>
#include <string>
#include <utility>

namespace ostrel {
namespace {

using RecordKey = std::pair<std::string, int>;

// Kept for the life of the process: one code object per distinct record.
std::map<RecordKey, PyCodeObject*>& kept_codes()
{
    static auto* codes = new std::map<RecordKey, PyCodeObject*>;
    return *codes;
}

PyCodeObject* kept_code(const char* function_name, int line) noexcept
{
    try {
        auto& codes = kept_codes();
        auto found = codes.find(RecordKey(function_name, line));
        return found == codes.end() ? nullptr : found->second;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// Without memory for the table the code object still serves this record;
// the next one makes another.  A record's first kept code stays: the table
// holds a reference only to a code it took.
void keep_code(const char* function_name, int line, PyCodeObject* code) noexcept
{
    try {
        if (kept_codes().try_emplace(RecordKey(function_name, line), code).second) {
            Py_INCREF(code);
        }
    } catch (const std::bad_alloc&) {
    }
}

// A new reference, or NULL with the creation's exception replacing the
// pending one.
PyCodeObject* code_for_record(const char* function_name, int line) noexcept
{
    if (PyCodeObject* kept = kept_code(function_name, line)) {
        return reinterpret_cast<PyCodeObject*>(Py_NewRef(kept));
    }
    PendingException pending;
    PyCodeObject* code = PyCode_NewEmpty(source_file, function_name, line);
    if (code == nullptr) {
        return nullptr;
    }
    pending.restore();
    keep_code(function_name, line, code);
    return code;
}

} // namespace

void add_traceback_record(const char* function_name, int line) noexcept
{
    PyThreadState* thread = PyThreadState_Get();
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(code_for_record(function_name, line)));
    if (!code) {
        return;
    }
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(thread, reinterpret_cast<PyCodeObject*>(code.get()), state.globals, nullptr)));
    if (!frame) {
        return;
    }
    // The frame has not started, so its line is its code's first line: the record's.
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

} // namespace ostrel
