// The kernels' record of the twins they ran, handed to ostrel._cpu.  Each
// extension module is a library of its own, with its own copy of the record,
// and ostrel.fenwy's namespace holds its functions only: each record's reader
// is left in the interpreter's dictionary for extension modules instead,
// where no Python code sees it and no symbol lookup (and no libdl) is needed.
#pragma once

namespace ostrel::kernels {

inline constexpr const char fenwy_twins_key[] = "ostrel.fenwy.twins_run";
inline constexpr const char segments_twins_key[] = "ostrel._segments.twins_run";

// The modules whose kernels choose twins, and the key of each one's reader.
struct TwinsRecord {
    const char* module;
    const char* key;
};

inline constexpr TwinsRecord twins_records[] = {
    {"ostrel.fenwy", fenwy_twins_key},
    {"ostrel._segments", segments_twins_key},
};

// The bits of `portable_twin` and `featured_twin` a place has run; 0 for a
// number that names no place.
using TwinsRun = unsigned (*)(int place);

// Leaves this module's reader in the running interpreter's dictionary under
// `key`.  Never fails the import: without it, ostrel._cpu.twins() says the
// record was not found.
void publish_twins_record(const char* key);

} // namespace ostrel::kernels
