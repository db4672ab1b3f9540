// Every interned name the module looks up, binds or reports, as one table.
#pragma once

namespace ostrel {

enum class Name : int {
    // module globals
    np, range, calc_num_frames, calc_energy, calc_zc, num_zerocrossings, find_peaks,
    // numpy attributes
    ceil, zeros, empty, concatenate, count_nonzero, logical_and, nonzero, sum, max,
    // parameters
    x_len, win_len, hop_size, x, centered, thresh,
    // locals
    M, energy, m, win, zc, f, x0, x1, x2, peak_bools, values, th, peaks,
    // modules and dunders
    numpy, ostrel_fenwy, dunder_name, dunder_main, dunder_spec, initializing, dunder_test,
    dunder_class_getitem,
    // attributes read for the integer-array promotion
    ndarray, astype, dtype, kind, size,
    // the index type of the native peak finder's result, and numpy's buffer
    // size, which decides how its sums are split
    intp, getbufsize,
    count_
};

inline constexpr const char* name_texts[] = {
    "np", "range", "calc_num_frames", "calc_energy", "calc_zc", "num_zerocrossings", "find_peaks",
    "ceil", "zeros", "empty", "concatenate", "count_nonzero", "logical_and", "nonzero", "sum", "max",
    "x_len", "win_len", "hop_size", "x", "centered", "thresh",
    "M", "energy", "m", "win", "zc", "f", "x0", "x1", "x2", "peak_bools", "values", "th", "peaks",
    "numpy", "ostrel.fenwy", "__name__", "__main__", "__spec__", "_initializing", "__test__",
    "__class_getitem__",
    "ndarray", "astype", "dtype", "kind", "size",
    "intp", "getbufsize",
};

static_assert(sizeof(name_texts) / sizeof(name_texts[0]) == static_cast<int>(Name::count_),
              "every Name has its text");

// The numpy functions the bodies call, in one run of the table above.
inline constexpr Name first_numpy_function = Name::ceil;
inline constexpr Name last_numpy_function = Name::max;
inline constexpr int numpy_function_count = static_cast<int>(last_numpy_function) - static_cast<int>(first_numpy_function) + 1;
// The module's own functions, likewise.
inline constexpr Name first_module_function = Name::calc_num_frames;
inline constexpr int module_function_count = static_cast<int>(Name::find_peaks) - static_cast<int>(first_module_function) + 1;

inline constexpr const char* source_file = "package/ostrel/fenwy.py";
inline constexpr const char* module_name = "ostrel.fenwy";
inline constexpr const char* init_record_name = "init ostrel.fenwy";

} // namespace ostrel
