// Registry records of the vectorised full search.

#include "search/CpuFeatures.h"
#include "search/Factories.h"
#include "search/Plugin.h"

namespace
{
using Flipsearch::PluginHelper2;
using Flipsearch::FlipOpt::Plugin;

PluginHelper2<Plugin> pg_flipopt_full_sse2 FLIPSEARCH_INIT_ORDER(7){
    "Full-SSE2",
    "Add SSE2 vectorization",
    &fsum2_flipopt_full_sse2_create,
    Flipsearch::TAG_SSE2 | Flipsearch::TAG_MULTICORE | Flipsearch::TAG_FULL,
    fsum2_flipopt_full_sse2_minTracks(),
    10,
    &should_enable_sse2_plugin,
    fsum2_flipopt_full_sse2_maxTracks()};

// Without AVX the track limits stay 0 and the AVX functions are never called.
PluginHelper2<Plugin> pg_flipopt_full_avx FLIPSEARCH_INIT_ORDER(9){
    "Full-AVX",
    "Add AVX vectorization",
    &fsum2_flipopt_full_avx_create,
    Flipsearch::TAG_AVX | Flipsearch::TAG_MULTICORE | Flipsearch::TAG_FULL,
    Flipsearch::cpu_has_avx() ? fsum2_flipopt_full_avx_minTracks() : 0u,
    20,
    &should_enable_avx_plugin,
    Flipsearch::cpu_has_avx() ? fsum2_flipopt_full_avx_maxTracks() : 0u};
} // namespace
