#include "kernels/probes/flag_probe.hpp"

#include "kernels/shared/buffers.hpp"
#include "kernels/crossings/crossings.hpp"
#include "kernels/energy/energy.hpp"
#include "kernels/shared/float_status.hpp"
#include "kernels/shared/gate.hpp"
#include "kernels/peaks/peaks.hpp"

#include "module/pending_exception.hpp"
#include "module/state.hpp"

#include <array>
#include <cfenv>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

namespace ostrel::kernels {
namespace {

constexpr std::size_t work_count = 5;
using Trusted = std::array<bool, work_count>;

// Values whose products, squares or comparisons raise each flag: NaN and
// the infinities beside zeros, the smallest subnormal, values whose squares
// underflow or overflow, and plain ones beside them.
constexpr double float64_values[] = {
    std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
    -std::numeric_limits<double>::infinity(), 0.0, -0.0, 5e-324, 1e-200, 1.5e154, -1e200, 1.0, -1.0};
constexpr float float32_values[] = {
    std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
    -std::numeric_limits<float>::infinity(), 0.0f, -0.0f, 1e-45f, 1e-30f, 1.2e19f, -2e19f, 1.0f, -1.0f};
constexpr std::size_t value_count = std::size(float64_values);
static_assert(std::size(float32_values) == value_count);

// Each pair of values as the three samples a, b, a (the scalar loops of
// both sides), and as a, b repeated over more than one vector word (their
// vector loops).
constexpr std::ptrdiff_t short_length = 3;
constexpr std::ptrdiff_t long_length = 2 * 67;

// numpy's error codes, as its "call" mode hands them to the callback.
struct Code {
    long numpy;
    int flag;
};
constexpr std::array<Code, 4> codes = {{
    {1, FE_DIVBYZERO},
    {2, FE_OVERFLOW},
    {4, FE_UNDERFLOW},
    {8, FE_INVALID},
}};

// The <cfenv> flags the kernel work raised.
template <class Work>
int native_flags(Work&& work)
{
    FloatStatus status;
    work();
    return status.raised();
}

// numpy's errstate as its own module defines it (numpy 2 and 1.x keep it in
// different places): the name in numpy's namespace may be rebound.  Empty,
// with nothing pending, where this numpy has neither.
Ref own_errstate()
{
    for (const char* name : {"numpy._core._ufunc_config", "numpy.core._ufunc_config"}) {
        Ref key = Ref::steal(PyUnicode_FromString(name));
        Ref module = Ref::steal(key ? PyImport_GetModule(key) : nullptr);
        if (module || PyErr_Occurred()) {
            return Ref::steal(module ? PyObject_GetAttrString(module, "errstate") : nullptr);
        }
    }
    return Ref{};
}

// A numpy laid out otherwise fails the probe quietly; an exception that is
// not an Exception (KeyboardInterrupt from a signal handler) is the caller's.
void drop_failure()
{
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) {
        throw PythonError{};
    }
    PyErr_Clear();
}

// numpy's error state set to report every flag to a callback that notes
// them, while it lives; put back on every exit, a pending exception kept.
class NumpyReports {
public:
    // False when numpy's error state could not be set so.
    bool enter()
    {
        noted_ = Ref::steal(PyDict_New());
        Ref errstate = noted_ ? own_errstate() : Ref{};
        Ref callback = Ref::steal(errstate ? PyObject_GetAttrString(noted_, "__setitem__") : nullptr);
        Ref keywords = Ref::steal(callback ? Py_BuildValue("{s:s,s:O}", "all", "call", "call", callback.get()) : nullptr);
        Ref manager = Ref::steal(keywords ? PyObject_Call(errstate, state.empty_tuple, keywords) : nullptr);
        Ref entered = Ref::steal(manager ? PyObject_CallMethod(manager, "__enter__", nullptr) : nullptr);
        if (!entered) {
            drop_failure();
            return false;
        }
        manager_ = std::move(manager);
        return true;
    }
    ~NumpyReports()
    {
        if (manager_) {
            PendingException pending;
            Ref done = Ref::steal(PyObject_CallMethod(manager_, "__exit__", "OOO", Py_None, Py_None, Py_None));
            if (!done) {
                PyErr_Clear();
            }
            pending.restore();
        }
    }

    // The <cfenv> flags numpy reported for the statements.
    template <class Statements>
    int flags(Statements&& statements)
    {
        PyDict_Clear(noted_);
        statements();
        int raised = 0;
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(noted_, &position, &key, &value)) {
            const long status = PyLong_Check(value) ? PyLong_AsLong(value) : 0;
            for (const Code& code : codes) {
                raised |= (status & code.numpy) != 0 ? code.flag : 0;
            }
        }
        PyErr_Clear();
        reported_ |= raised;
        return raised;
    }
    // Every flag numpy reported so far.
    int reported() const { return reported_; }

private:
    Ref noted_;
    Ref manager_;
    int reported_ = 0;
};

Ref sliced(PyObject* x, PyObject* slice) { return checked(PyObject_GetItem(x, slice)); }

// numpy's statements on the probe signal, each as the bodies write it.
void products(PyObject* x)
{
    Ref product = checked(PyNumber_Multiply(sliced(x, state.all_but_last), sliced(x, state.all_but_first)));
    checked(PyObject_RichCompare(product, state.zero, Py_LT));
}

// np.concatenate((np.zeros(1), x))
Ref padded(PyObject* x)
{
    PyObject* const zeros_args[] = {state.one};
    Ref zeros = checked(PyObject_Vectorcall(numpy_function(Name::zeros), zeros_args, 1, nullptr));
    Ref parts = checked(PyTuple_Pack(2, zeros.get(), x));
    PyObject* const concatenate_args[] = {parts.get()};
    return checked(PyObject_Vectorcall(numpy_function(Name::concatenate), concatenate_args, 1, nullptr));
}

void padded_products(PyObject* x) { products(padded(x)); }

void squares(PyObject* x) { checked(PyNumber_Multiply(x, x)); }

void padded_squares(PyObject* x)
{
    Ref whole = padded(x);
    checked(PyNumber_Multiply(whole, whole));
}

void comparisons(PyObject* x)
{
    Ref middle = sliced(x, state.inner);
    checked(PyObject_RichCompare(sliced(x, state.all_but_last_two), middle, Py_LT));
    checked(PyObject_RichCompare(middle, sliced(x, state.all_but_first_two), Py_GT));
}

// The kernels' work on the same signal, through the code the fast paths run.
Product product_of(Element element) { return element == Element::float32 ? Product::float32 : Product::float64; }

void crossing_kernels(const Signal& signal, std::ptrdiff_t pad, Product product)
{
    const std::ptrdiff_t length = pad + signal.length;
    count_crossings(signal, product, pad, 0, length - 1);
    const Framing one_frame{pad, length, length, 1};
    Sweep sweep;
    double rate = 0.0;
    crossing_rates(signal, one_frame, product, sweep, 0, 1, &rate);
}

// Frames of one sample: each sum is its square, divided by one.  Unpadded
// float32 samples are squared in float32, everything else in float64.
void square_kernels(const Signal& signal, std::ptrdiff_t pad)
{
    const bool in_float32 = signal.element == Element::float32 && pad == 0;
    const Framing framing{pad, 1, 1, pad + signal.length};
    EnergyPlan plan(signal, framing, 0, in_float32, in_float32 ? Quotient::float32 : Quotient::float64);
    std::vector<double> out(static_cast<std::size_t>(framing.frames));
    plan.run(0, framing.frames, out.data());
}

void comparison_kernels(const Signal& signal)
{
    MaximaMap map(signal, true);
    map.judge(0, map.words());
}

// A new array of the probe's element type holding a and b, in turn.
template <class T>
Ref probe_array(T a, T b, std::ptrdiff_t length, PyObject* dtype)
{
    NewArray array;
    if (!array.make(length, dtype)) {
        return Ref{};
    }
    for (std::ptrdiff_t i = 0; i < length; ++i) {
        array.data<T>()[i] = i % 2 == 0 ? a : b;
    }
    return array.finish();
}

// Whether each kind of kernel work raised at least numpy's flags on one
// signal; false when the signal could not be made as the kernels read it,
// of the element type probed (numpy's type names may be rebound).
bool compare(PyObject* x, Element element, NumpyReports& numpy, Trusted& trusted)
{
    HeldSignal held;
    if (x == nullptr || !held.claim(x) || held.signal().element != element) {
        return false;
    }
    const Signal& signal = held.signal();
    const auto follows = [&](FlagWork work, int native, int reported) {
        trusted[static_cast<std::size_t>(work)] = trusted[static_cast<std::size_t>(work)] && (reported & ~native) == 0;
    };
    follows(FlagWork::products, native_flags([&] { crossing_kernels(signal, 0, product_of(signal.element)); }),
            numpy.flags([&] { products(x); }));
    follows(FlagWork::padded_products, native_flags([&] { crossing_kernels(signal, 1, Product::float64); }),
            numpy.flags([&] { padded_products(x); }));
    follows(FlagWork::squares, native_flags([&] { square_kernels(signal, 0); }), numpy.flags([&] { squares(x); }));
    follows(FlagWork::padded_squares, native_flags([&] { square_kernels(signal, 1); }),
            numpy.flags([&] { padded_squares(x); }));
    follows(FlagWork::comparisons, native_flags([&] { comparison_kernels(signal); }),
            numpy.flags([&] { comparisons(x); }));
    return true;
}

// Nothing when numpy failed, a probe signal could not be made, or numpy
// reported no flag at all: 0 * inf is invalid in every numpy, so its
// reports did not reach the probe.
template <class T>
std::optional<Trusted> probe(const T (&values)[value_count], Element element, const char* type_name)
{
    Trusted trusted;
    trusted.fill(true);
    NumpyReports numpy;
    try {
        Ref dtype = checked(PyObject_GetAttrString(state.numpy, type_name));
        if (!numpy.enter()) {
            return std::nullopt;
        }
        for (const T a : values) {
            for (const T b : values) {
                if (!compare(probe_array(a, b, short_length, dtype.get()), element, numpy, trusted)
                    || !compare(probe_array(a, b, long_length, dtype.get()), element, numpy, trusted)) {
                    PyErr_Clear();
                    return std::nullopt;
                }
            }
        }
    } catch (const PythonError&) {
        drop_failure();
        return std::nullopt;
    }
    if ((numpy.reported() & FE_INVALID) == 0) {
        return std::nullopt;
    }
    return trusted;
}

} // namespace

bool flags_follow_numpy(FlagWork work, Element element)
{
    static std::array<std::optional<Trusted>, 2> found;
    const bool wide = element == Element::float64;
    if (!wide && element != Element::float32) {
        return true;
    }
    std::optional<Trusted>& known = found[wide ? 0 : 1];
    if (!known) {
        std::optional<Trusted> trusted;
        try {
            trusted = wide ? probe(float64_values, element, "float64") : probe(float32_values, element, "float32");
        } catch (const std::bad_alloc&) {
            return false;
        }
        // Another call may have finished its probe meanwhile: the first stays.
        if (!trusted || !numpy_unchanged()) {
            return false;
        }
        if (!known) {
            known = trusted;
        }
    }
    return (*known)[static_cast<std::size_t>(work)];
}

} // namespace ostrel::kernels
