#include "kernels/probes/sum_probe.hpp"

#include "kernels/shared/buffers.hpp"
#include "kernels/energy/energy.hpp"
#include "kernels/shared/gate.hpp"
#include "module/state.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace ostrel::kernels {
namespace {

// numpy's pairwise blocks are 8 and 128 elements; some versions split a
// reduction into chunks of the ufunc buffer size (np.getbufsize()).
constexpr std::size_t candidate_count = 2;
constexpr std::array<std::ptrdiff_t, 31> probe_lengths = {
    1, 2, 7, 8, 9, 15, 16, 17, 120, 127, 128, 129, 130, 136, 255, 256, 257, 1000, 1023, 1024,
    1025, 4097, 8191, 8192, 8193, 8200, 16383, 16384, 16385, 24653, 65545};
// Probes around a larger buffer size stop at this length (16 MiB of samples).
constexpr std::ptrdiff_t longest_probe = std::ptrdiff_t{1} << 21;

// Values spread over many binary orders of magnitude, so that every change
// in the order of the additions changes the sum.
void fill_probe(double* values, std::ptrdiff_t length)
{
    std::uint64_t seed = 0x9E3779B97F4A7C15ULL;
    for (std::ptrdiff_t i = 0; i < length; ++i) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        const double mantissa = 1.0 + static_cast<double>(seed >> 11) * 0x1.0p-53;
        const int exponent = static_cast<int>((seed >> 3) % 41) - 20;
        values[i] = std::ldexp((seed & 1) != 0 ? -mantissa : mantissa, exponent);
    }
}

bool same_bits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// numpy's sum of the squares of a probe array, and whether each candidate
// chunk size reproduces it.  False if numpy could not make the probe or its
// squares, or if np.sum and the array's own sum method (which reaches the
// addition through numpy's internals, not through numpy's namespace) differ:
// a numpy function or ufunc is then stood in for, and nothing learnt about
// the compiled loop.  The exception of numpy's sum itself is thrown.
using Candidates = std::array<std::ptrdiff_t, candidate_count>;
using Matches = std::array<bool, candidate_count>;

bool compare_probe(std::ptrdiff_t length, const Candidates& chunk_candidates, Matches& matches)
{
    NewArray probe;
    if (!probe.make(length)) {
        return false;
    }
    fill_probe(probe.data<double>(), length);
    const Signal signal{reinterpret_cast<const char*>(probe.data<double>()), length, sizeof(double),
                        Element::float64};
    std::array<double, candidate_count> native{};
    for (std::size_t candidate = 0; candidate < chunk_candidates.size(); ++candidate) {
        native[candidate] = sum_of_squares(signal, 0, length, chunk_candidates[candidate]);
    }
    Ref values = probe.finish();
    Ref squares = Ref::steal(PyNumber_Multiply(values, values));
    if (!squares) {
        return false;
    }
    // numpy's sum runs Python code, and with it any pending signal handler:
    // its exception is the caller's, not a failed probe.
    PyObject* const args[] = {squares.get()};
    Ref total = checked(PyObject_Vectorcall(numpy_function(Name::sum), args, 1, nullptr));
    const double numpy_total = PyFloat_AsDouble(total);
    if (PyErr_Occurred()) {
        return false;
    }
    Ref method_total = checked(PyObject_CallMethodNoArgs(squares, name(Name::sum)));
    const double loop_total = PyFloat_AsDouble(method_total);
    if (PyErr_Occurred() || !same_bits(numpy_total, loop_total)) {
        return false;
    }
    for (std::size_t candidate = 0; candidate < chunk_candidates.size(); ++candidate) {
        matches[candidate] = matches[candidate] && same_bits(native[candidate], numpy_total);
    }
    return true;
}

// The order numpy sums in at this buffer size; nothing if none of the
// candidates matched.  False with an exception set if numpy failed.
bool find_order(std::ptrdiff_t bufsize, std::optional<SumOrder>& order)
{
    const Candidates chunk_candidates = {0, bufsize};
    std::vector<std::ptrdiff_t> lengths(probe_lengths.begin(), probe_lengths.end());
    // A buffer size beyond the longest probe leaves the two candidates alike
    // on every probe: the order is then known for frames up to one chunk.
    const std::ptrdiff_t beyond_a_chunk = 2 * bufsize + 9;
    const bool distinguished = beyond_a_chunk <= longest_probe;
    for (const std::ptrdiff_t length : {bufsize - 1, bufsize, bufsize + 1, beyond_a_chunk}) {
        if (length > 0 && length <= longest_probe) {
            lengths.push_back(length);
        }
    }
    Matches matches;
    matches.fill(true);
    for (const std::ptrdiff_t length : lengths) {
        if (!compare_probe(length, chunk_candidates, matches)) {
            return false;
        }
    }
    // Both candidates sum a frame of at most one chunk alike; beyond that,
    // only a candidate the probes singled out is trusted.
    const bool single = matches[0] != matches[1];
    const std::ptrdiff_t longest = distinguished && single ? PY_SSIZE_T_MAX : bufsize;
    order = std::nullopt;
    for (std::size_t candidate = 0; candidate < candidate_count; ++candidate) {
        if (matches[candidate]) {
            order = SumOrder{chunk_candidates[candidate], longest, bufsize};
            break;
        }
    }
    return true;
}

} // namespace

std::optional<SumOrder> numpy_sum_order()
{
    // One finding per buffer size seen; a program uses few.
    static std::vector<std::pair<std::ptrdiff_t, std::optional<SumOrder>>> findings;
    if (state.getbufsize == nullptr) {
        return std::nullopt;
    }
    // Python code, which may run a pending signal handler: its exception
    // is thrown, as the caller's.
    Ref size = checked(PyObject_CallNoArgs(state.getbufsize));
    const std::ptrdiff_t bufsize = PyLong_CheckExact(size.get()) ? PyLong_AsSsize_t(size) : -1;
    if (bufsize <= 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    for (const auto& [known_size, order] : findings) {
        if (known_size == bufsize) {
            return order;
        }
    }
    // Nothing is decided on a failed probe (low memory, say), nor while
    // numpy is not as start-up found it: a finding is kept for good.
    try {
        std::optional<SumOrder> order;
        if (!find_order(bufsize, order)) {
            PyErr_Clear();
            return std::nullopt;
        }
        if (!numpy_unchanged()) {
            return std::nullopt;
        }
        findings.emplace_back(bufsize, order);
        return order;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

} // namespace ostrel::kernels
