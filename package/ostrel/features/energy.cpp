// calc_energy: each frame's sum of squares over the window length.
#include "bodies.hpp"

#include "framing.hpp"
#include "kernels/shared/fast_paths.hpp"
#include "module/state.hpp"

namespace ostrel {
namespace {
constexpr FramingLines lines{.test_centered = 30, .pad = 31, .count = 34, .allocate = 37,
                             .loop = 40, .cut = 41, .store = 42};
struct {
    FramingSites framing;
    GlobalCache np_sum;
} sites;
} // namespace

Ref calc_energy_body(Steps& steps, PyObject* const* values)
{
    // An interrupt of the native pass surfaces where numpy's sum would have
    // let the signal handler run.
    steps.at(lines.store);
    if (Ref energy = kernels::fast_calc_energy(values)) {
        return energy;
    }
    return frame_wise(steps, lines, sites.framing, values,
                      [](PyObject* energy, PyObject* m, PyObject* win, PyObject* win_len) {
                          // energy[m] = np.sum(win * win) / win_len
                          Ref sum = get_attr(lookup_global(Name::np, sites.np_sum), Name::sum);
                          // Integer samples are squared in float64: their own type would wrap.
                          Ref samples = promote_integer_array(win);
                          Ref squares = multiply(samples, samples);
                          Ref total = call(sum, squares);
                          Ref value = true_divide(total, win_len);
                          set_item(energy, m, value);
                      });
}

} // namespace ostrel
