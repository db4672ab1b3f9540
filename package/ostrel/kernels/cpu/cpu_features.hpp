// The optional instruction sets the kernels may use.  Each kernel that uses
// one keeps a portable twin beside it, always compiled, and chooses between
// them at one place by asking `enabled`.  The choice is fixed once, at
// import: the processor is asked, and OSTREL_DISABLE_CPU_FEATURES (names
// separated by commas or spaces, any case) switches features off, so that
// the portable twins can run, and be tested, on any machine.
#pragma once

#include <string>

// Code only GCC and Clang understand (x86 intrinsics, [[gnu::target]],
// __builtin_cpu_supports) is compiled only under this; other compilers, and
// other processors, get the portable twins alone.  OSTREL_PLAIN_CPP builds
// what a compiler without any of it gets (see lanes.hpp), to test it here.
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__)) \
    && !defined(OSTREL_PLAIN_CPP)
#define OSTREL_X86_DISPATCH 1
#endif

namespace ostrel::kernels {

enum class CpuFeature : unsigned char { avx2, popcnt };

struct CpuFeatureName {
    CpuFeature feature;
    const char* name;
};

inline constexpr CpuFeatureName cpu_feature_names[] = {
    {CpuFeature::avx2, "AVX2"},
    {CpuFeature::popcnt, "POPCNT"},
};

// What became of a feature in this process.
enum class CpuFeatureUse : unsigned char { used, disabled, unavailable };

// The places where a kernel chooses between the twin that uses optional
// features and its portable twin.
enum class Twins : unsigned char {
    crossing_bits,
    pair_count,
    maxima_judge,
    maxima_above,
    maxima_count,
    maxima_write,
    short_energy,
    block_sums,
    nan_search,
};

inline constexpr const char* twins_names[] = {"crossing_bits", "pair_count",   "maxima_judge", "maxima_above", "maxima_count",
                                              "maxima_write",  "short_energy", "block_sums",   "nan_search"};

// Which twins a place has run in this process, as bits.
inline constexpr unsigned portable_twin = 1;
inline constexpr unsigned featured_twin = 2;

// Notes the twin a place is about to run and returns `featured`, so that a
// choice reads `if (chosen(Twins::place, enabled(...)))`: what is noted is
// what ran.  Safe from threads that run kernels without the GIL.
bool chosen(Twins place, bool featured);
unsigned twins_run(Twins place);

// Asks the processor and reads the environment variable, the first time
// only; returns the names in the variable that name no feature, joined by
// ", " (empty when all are known).  Called at import, before any kernel runs.
std::string configure_cpu_features();

// Whether kernels may use the feature: the processor has it and it is not
// disabled.  False before configure_cpu_features has run.
bool enabled(CpuFeature feature);
CpuFeatureUse cpu_feature_use(CpuFeature feature);

} // namespace ostrel::kernels
