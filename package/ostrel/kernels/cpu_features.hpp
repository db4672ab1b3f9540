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

// Asks the processor and reads the environment variable, the first time
// only; returns the names in the variable that name no feature, joined by
// ", " (empty when all are known).  Called at import, before any kernel runs.
std::string configure_cpu_features();

// Whether kernels may use the feature: the processor has it and it is not
// disabled.  False before configure_cpu_features has run.
bool enabled(CpuFeature feature);
CpuFeatureUse cpu_feature_use(CpuFeature feature);

} // namespace ostrel::kernels
