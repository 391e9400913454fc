#pragma once

// Builders of the registry records of the vectorised algorithms ("SSE2", "Full-SSE2", "AVX",
// "Full-AVX"). The static records are built by them at load; tests build further records the
// same way after replacing the CPUID query. Each record registers itself at its final address
// (the builders return it as a prvalue) and unregisters when it goes. Call them only where
// records may register: during static construction, or from a test while nothing else reads
// the registries.

#include "search/Plugin.h"

namespace Flipsearch
{
using CorrelationRecord = PluginHelper2<Correlation::Plugin>;
using SearchRecord = PluginHelper2<FlipOpt::Plugin>;

CorrelationRecord make_corr_sse2_record();
SearchRecord make_flipopt_full_sse2_record();

// Without AVX (CPUID leaf 1, ECX bit 28, as the current query reports it) these records are
// disabled with the reason "CPU missing AVX support" and track limits 0; the AVX factory
// functions are then never called.
CorrelationRecord make_corr_avx_record();
SearchRecord make_flipopt_full_avx_record();
} // namespace Flipsearch
