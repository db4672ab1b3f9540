#include "kernels/cpu/cpu_features.hpp"

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <iterator>
#include <string_view>

namespace ostrel::kernels {
namespace {

constexpr auto feature_count = std::size(cpu_feature_names);
static_assert(cpu_feature_names[static_cast<int>(CpuFeature::avx2)].feature == CpuFeature::avx2
              && cpu_feature_names[static_cast<int>(CpuFeature::popcnt)].feature == CpuFeature::popcnt,
              "the table is indexed by feature");

struct Choice {
    bool configured = false;
    CpuFeatureUse use[feature_count] = {};
    std::string unknown;
};

// Written once, under the import lock, before any kernel can run; only read after.
Choice choice;

constexpr auto place_count = std::size(twins_names);
std::atomic<unsigned> run_at[place_count];

bool processor_has(CpuFeature feature)
{
#ifdef OSTREL_X86_DISPATCH
    switch (feature) {
    case CpuFeature::avx2:
        return __builtin_cpu_supports("avx2");
    case CpuFeature::popcnt:
        return __builtin_cpu_supports("popcnt");
    }
#endif
    static_cast<void>(feature);
    return false;
}

bool same_name(std::string_view given, std::string_view name)
{
    if (given.size() != name.size()) {
        return false;
    }
    for (std::size_t k = 0; k < given.size(); ++k) {
        if (std::toupper(static_cast<unsigned char>(given[k])) != name[k]) {
            return false;
        }
    }
    return true;
}

// Marks the named feature disabled; false when no feature has that name.
bool disable(std::string_view given)
{
    for (std::size_t k = 0; k < feature_count; ++k) {
        if (same_name(given, cpu_feature_names[k].name)) {
            if (choice.use[k] == CpuFeatureUse::used) {
                choice.use[k] = CpuFeatureUse::disabled;
            }
            return true;
        }
    }
    return false;
}

void read_disabled(std::string_view list)
{
    const auto is_separator = [](char c) { return c == ',' || std::isspace(static_cast<unsigned char>(c)); };
    std::size_t k = 0;
    while (k < list.size()) {
        if (is_separator(list[k])) {
            ++k;
            continue;
        }
        const std::size_t start = k;
        while (k < list.size() && !is_separator(list[k])) {
            ++k;
        }
        const std::string_view given = list.substr(start, k - start);
        if (!disable(given)) {
            choice.unknown += choice.unknown.empty() ? "" : ", ";
            choice.unknown += given;
        }
    }
}

} // namespace

std::string configure_cpu_features()
{
    if (!choice.configured) {
        for (std::size_t k = 0; k < feature_count; ++k) {
            choice.use[k] = processor_has(cpu_feature_names[k].feature) ? CpuFeatureUse::used
                                                                          : CpuFeatureUse::unavailable;
        }
        if (const char* list = std::getenv("OSTREL_DISABLE_CPU_FEATURES")) {
            read_disabled(list);
        }
        choice.configured = true;
    }
    return choice.unknown;
}

CpuFeatureUse cpu_feature_use(CpuFeature feature)
{
    return choice.configured ? choice.use[static_cast<std::size_t>(feature)] : CpuFeatureUse::unavailable;
}

bool enabled(CpuFeature feature)
{
    return cpu_feature_use(feature) == CpuFeatureUse::used;
}

bool chosen(Twins place, bool featured)
{
    std::atomic<unsigned>& noted = run_at[static_cast<std::size_t>(place)];
    const unsigned twin = featured ? featured_twin : portable_twin;
    // Read first: once noted, the choice costs no write to a shared line.
    if ((noted.load(std::memory_order_relaxed) & twin) == 0) {
        noted.fetch_or(twin, std::memory_order_relaxed);
    }
    return featured;
}

unsigned twins_run(Twins place)
{
    return run_at[static_cast<std::size_t>(place)].load(std::memory_order_relaxed);
}

} // namespace ostrel::kernels
