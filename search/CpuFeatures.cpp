#include "search/CpuFeatures.h"

#include <cpuid.h>

namespace Flipsearch
{
namespace
{
cpuid_query_t current_query = &cpuid_leaf1_ecx;
}

unsigned cpuid_leaf1_ecx()
{
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid_count(1, 0, eax, ebx, ecx, edx);
    return ecx;
}

void set_cpuid_query(cpuid_query_t query)
{
    current_query = query ? query : &cpuid_leaf1_ecx;
}

bool cpu_has_avx()
{
    return (current_query() >> 28) & 1u;
}
} // namespace Flipsearch

bool should_enable_sse2_plugin(std::string&)
{
    return true;
}

bool should_enable_avx_plugin(std::string& reason)
{
    if (Flipsearch::cpu_has_avx())
        return true;
    reason = "CPU missing AVX support";
    return false;
}
