#include "namespaces.hpp"

#include "state.hpp"

#include <algorithm>
#include <array>

namespace ostrel {
namespace {

#if PY_VERSION_HEX >= 0x030C0000
// From 3.12 on the dict version tag is deprecated and dictionary watchers
// report changes instead; 3.11 has no watchers, and its tags serve there.
int watcher = -1;
bool module_namespace_followed = false;
std::uint64_t module_namespace_changes = 1;
std::uint64_t followed_changes = 1;

// Runs inside the dict operation: it counts, and neither fails nor runs code.
int count_change(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*)
{
    if (dict == state.globals) {
        ++module_namespace_changes;
    }
    ++followed_changes;
    return 0;
}
#else
// Each change gives a dict a tag above every tag given before, so the
// largest tag among the followed dicts grows with each of their changes.
std::array<PyObject*, 16> followed{};
std::size_t followed_count = 0;

std::uint64_t tag_of(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
#endif

} // namespace

bool follow_changes(PyObject* dict)
{
#if PY_VERSION_HEX >= 0x030C0000
    if (watcher < 0) {
        watcher = PyDict_AddWatcher(count_change);
    }
    if (watcher < 0 || PyDict_Watch(watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    module_namespace_followed = module_namespace_followed || dict == state.globals;
    return true;
#else
    if (std::find(followed.begin(), followed.begin() + followed_count, dict) != followed.begin() + followed_count) {
        return true;
    }
    if (followed_count == followed.size()) {
        return false;
    }
    followed[followed_count++] = dict;
    return true;
#endif
}

std::uint64_t module_namespace_version()
{
#if PY_VERSION_HEX >= 0x030C0000
    return module_namespace_followed ? module_namespace_changes : ++module_namespace_changes;
#else
    return tag_of(state.globals);
#endif
}

std::uint64_t followed_namespaces_version()
{
#if PY_VERSION_HEX >= 0x030C0000
    return followed_changes;
#else
    std::uint64_t newest = 0;
    for (std::size_t index = 0; index < followed_count; ++index) {
        newest = std::max(newest, tag_of(followed[index]));
    }
    return newest;
#endif
}

} // namespace ostrel
