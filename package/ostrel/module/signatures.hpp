// The five functions' public descriptions: parameters, defaults, code-object
// fields and docstrings.  The function type, the binding front and the code
// objects are all built from this table.
#pragma once

#include "names.hpp"

#include <array>
#include <cstddef>

namespace ostrel {

enum class Default { none, true_object, none_object };

inline constexpr std::size_t max_parameters = 4;
inline constexpr std::size_t max_varnames = 9;

struct Signature {
    Name global;            // the name it is bound to in the module namespace
    const char* name;       // bare name, used in argument errors
    const char* qualname;   // used in traceback records
    int def_line;           // recorded by binding failures
    int required;
    int total;
    Default optional_default;
    std::array<Name, max_varnames> varnames;  // parameters first
    int varname_count;
    const char* doc;

    constexpr Name parameter(int index) const { return varnames[static_cast<std::size_t>(index)]; }
    constexpr bool has_defaults() const { return required < total; }
};

inline constexpr Signature calc_num_frames_signature{
    Name::calc_num_frames, "calc_num_frames", "ostrel.fenwy.calc_num_frames", 4, 3, 3, Default::none,
    {Name::x_len, Name::win_len, Name::hop_size}, 3,
    "Calculates the number of frames of data resulting when windowing\n"
    "    a signal of length ``x_len``, using a window size of ``win_len`` and a hop size of ``hop_size``.\n"
    "\n"
    "    :param x_len: length of signal\n"
    "    :param win_len: length of window\n"
    "    :param hop_size: hop size (ie, stride length) between windows\n"
    "\n"
    "    :returns: (int) number of frames, i.e., or number of hops\n"
    "    ",
};

inline constexpr Signature calc_energy_signature{
    Name::calc_energy, "calc_energy", "ostrel.fenwy.calc_energy", 18, 3, 4, Default::true_object,
    {Name::x, Name::win_len, Name::hop_size, Name::centered, Name::M, Name::energy, Name::m, Name::win}, 8,
    "Calculate the normalized energy feature for the input signal.\n"
    "\n"
    "    :param x: the signal\n"
    "    :param win_len: window length\n"
    "    :param hop_size: hop size\n"
    "    :param centered: use a centered window\n"
    "\n"
    "    :returns: np.array where each value is the normalized energy of the windowed signal using a rectangular window.\n"
    "    ",
};

inline constexpr Signature calc_zc_signature{
    Name::calc_zc, "calc_zc", "ostrel.fenwy.calc_zc", 46, 3, 4, Default::true_object,
    {Name::x, Name::win_len, Name::hop_size, Name::centered, Name::M, Name::zc, Name::f, Name::win}, 8,
    "Calculate the normalized zero-crossing rate for the input signal. At each hop, count the number\n"
    "    of zero-crossings in that window and divide by the window length.\n"
    "\n"
    "    :param x: the signal\n"
    "    :param win_len: window length\n"
    "    :param hop_size: hop size\n"
    "    :param centered: use a centered window\n"
    "\n"
    "    :returns: np.array where each value is the normalized zc-rate of the windowed signal.\n"
    "    ",
};

inline constexpr Signature num_zerocrossings_signature{
    Name::num_zerocrossings, "num_zerocrossings", "ostrel.fenwy.num_zerocrossings", 75, 1, 1, Default::none,
    {Name::x, Name::x0, Name::x1}, 3,
    "Count the number of zero-crossings in the signal ``x``.\n"
    "\n"
    "    :param x: the signal\n"
    "\n"
    "    :returns: number of zero crossings (int)\n"
    "    ",
};

inline constexpr Signature find_peaks_signature{
    Name::find_peaks, "find_peaks", "ostrel.fenwy.find_peaks", 90, 1, 2, Default::none_object,
    {Name::x, Name::thresh, Name::x0, Name::x1, Name::x2, Name::peak_bools, Name::values, Name::th, Name::peaks}, 9,
    "Finds peaks in 1D vector.\n"
    "\n"
    "    :param x: 1D input vector\n"
    "    :param thresh: relative threshold value. Discard peak whose value is lower than (``thresh * max_peak_value``), or don't threshold if ``thresh`` is None\n"
    "    :returns: np.array of index values of peaks\n"
    "    ",
};

} // namespace ostrel
