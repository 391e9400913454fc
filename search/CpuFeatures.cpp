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
    // AVX instructions fault unless the operating system saves the vector registers' upper
    // halves: without OSXSAVE (bit 27) and the XMM and YMM state enabled in XCR0, bit 28 is
    // reported clear.
    constexpr unsigned osxsave = 1u << 27;
    constexpr unsigned avx = 1u << 28;
    if ((ecx & avx) != 0)
    {
        bool saved = false;
        if ((ecx & osxsave) != 0)
        {
            unsigned lo = 0, hi = 0;
            __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
            saved = (lo & 0x6u) == 0x6u;
        }
        if (!saved)
            ecx &= ~avx;
    }
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
