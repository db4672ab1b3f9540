// calc_zc: each frame's zero-crossing count over the window length.
#include "bodies.hpp"

#include "framing.hpp"
#include "kernels/shared/fast_paths.hpp"
#include "module/records.hpp"
#include "module/state.hpp"

namespace ostrel {
namespace {
constexpr FramingLines lines{.test_centered = 59, .pad = 60, .count = 63, .allocate = 66,
                             .loop = 69, .cut = 70, .store = 71};
struct {
    FramingSites framing;
    GlobalCache num_zerocrossings;
} sites;
} // namespace

Ref calc_zc_body(Steps& steps, PyObject* const* values)
{
    // An interrupt of the native pass surfaces where num_zerocrossings' numpy
    // call would have let the signal handler run: both records, as there.
    steps.at(lines.store);
    try {
        if (Ref zc = kernels::fast_calc_zc(values)) {
            return zc;
        }
    } catch (const PythonError&) {
        add_traceback_record(num_zerocrossings_signature.qualname, count_line);
        throw;
    }
    return frame_wise(steps, lines, sites.framing, values,
                      [](PyObject* zc, PyObject* f, PyObject* win, PyObject* win_len) {
                          // zc[f] = num_zerocrossings(win) / float(win_len)
                          Ref count_crossings = lookup_global(Name::num_zerocrossings, sites.num_zerocrossings);
                          Ref count = call(count_crossings, win);
                          Ref window = to_float(win_len);
                          Ref value = true_divide(count, window);
                          set_item(zc, f, value);
                      });
}

} // namespace ostrel
