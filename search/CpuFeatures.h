#pragma once

// Processor tests that gate the vectorised algorithms' records. SSE2 is always assumed on x86-64;
// AVX is taken from CPUID leaf 1, ECX bit 28. The query can be replaced so that tests can pretend
// a processor without AVX. Called during static initialisation and from tests only.

#include <string>

namespace Flipsearch
{
// Returns ECX of CPUID with EAX = 1 and ECX = 0.
using cpuid_query_t = unsigned (*)();

// The processor's own answer; bit 28 (AVX) is cleared when the operating system does not save
// the AVX registers, since AVX code would fault there.
unsigned cpuid_leaf1_ecx();

// Replaces the query used by cpu_has_avx and should_enable_avx_plugin; nullptr restores the
// processor's own. Not thread-safe: for tests, while no record is being built.
void set_cpuid_query(cpuid_query_t query);

// Bit 28 of the current query's ECX.
bool cpu_has_avx();
} // namespace Flipsearch

// Always true; reason untouched.
bool should_enable_sse2_plugin(std::string& reason);

// True with AVX; otherwise reason = "CPU missing AVX support" and false.
bool should_enable_avx_plugin(std::string& reason);
