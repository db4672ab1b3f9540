// The kernels' record of the twins they ran, handed to ostrel._cpu.  That
// module is a library of its own, with its own copy of any state, and
// ostrel.fenwy's namespace holds its functions only: the record's reader is
// left in the interpreter's dictionary for extension modules instead, where
// no Python code sees it and no symbol lookup (and no libdl) is needed.
#pragma once

namespace ostrel::kernels {

inline constexpr const char twins_record_key[] = "ostrel.fenwy.twins_run";

// The bits of `portable_twin` and `featured_twin` a place has run; 0 for a
// number that names no place.
using TwinsRun = unsigned (*)(int place);

// Leaves the reader in the running interpreter's dictionary.  Never fails
// the import: without it, ostrel._cpu.twins() says the record was not found.
void publish_twins_record();

} // namespace ostrel::kernels
