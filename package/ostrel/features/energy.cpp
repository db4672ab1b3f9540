// calc_energy: each frame's sum of squares over the window length.
#include "bodies.hpp"

#include "framing.hpp"
#include "module/state.hpp"

namespace ostrel {
namespace {
constexpr FramingLines lines{30, 31, 34, 37};
struct {
    FramingSites framing;
    GlobalCache np_sum;
} sites;
} // namespace

Ref calc_energy_body(Steps& steps, PyObject* const* values)
{
    PyObject* win_len = values[1];
    PyObject* hop_size = values[2];
    // Lines 30 to 37: padding, M = calc_num_frames(...), energy = np.empty(M)
    Framing framing = prepare_frames(steps, lines, sites.framing, values[0], win_len, hop_size, values[3]);

    steps.at(40);  // for m in range(M):
    RangeLoop frames(framing.M);
    Ref m;
    Ref win;
    while (steps.at(40), frames.next(m)) {
        steps.at(41);  // win = x[m * hop_size:m * hop_size + win_len]
        win = cut_frame(framing.x, m, hop_size, win_len);

        steps.at(42);  // energy[m] = np.sum(win * win) / win_len
        Ref sum = get_attr(lookup_global(Name::np, sites.np_sum), Name::sum);
        // Integer samples are squared in float64: their own type would wrap.
        Ref samples = promote_integer_array(win);
        Ref squares = multiply(samples, samples);
        Ref total = call(sum, squares);
        Ref value = true_divide(total, win_len);
        set_item(framing.result, m, value);
    }
    return std::move(framing.result);
}

} // namespace ostrel
