// calc_zc: each frame's zero-crossing count over the window length.
#include "bodies.hpp"

#include "framing.hpp"
#include "module/state.hpp"

namespace ostrel {
namespace {
constexpr FramingLines lines{59, 60, 63, 66};
struct {
    FramingSites framing;
    GlobalCache num_zerocrossings;
} sites;
} // namespace

Ref calc_zc_body(Steps& steps, PyObject* const* values)
{
    PyObject* win_len = values[1];
    PyObject* hop_size = values[2];
    // Lines 59 to 66: padding, M = calc_num_frames(...), zc = np.empty(M)
    Framing framing = prepare_frames(steps, lines, sites.framing, values[0], win_len, hop_size, values[3]);

    steps.at(69);  // for f in range(M):
    RangeLoop frames(framing.M);
    Ref f;
    Ref win;
    while (steps.at(69), frames.next(f)) {
        steps.at(70);  // win = x[f * hop_size:f * hop_size + win_len]
        win = cut_frame(framing.x, f, hop_size, win_len);

        steps.at(71);  // zc[f] = num_zerocrossings(win) / float(win_len)
        Ref count_crossings = lookup_global(Name::num_zerocrossings, sites.num_zerocrossings);
        Ref count = call(count_crossings, win);
        Ref window = to_float(win_len);
        Ref value = true_divide(count, window);
        set_item(framing.result, f, value);
    }
    return std::move(framing.result);
}

} // namespace ostrel
