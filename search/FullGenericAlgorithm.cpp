#include "search/FullGenericAlgorithm.h"

#include "search/CpuFeatures.h"
#include "search/Factories.h"
#include "search/Plugin.h"

#include <stdexcept>

namespace Flipsearch::FlipOpt
{
template <class V>
void FullGenericAlgorithm<V>::process(const Correlation::Algorithm::ptr_t&, std::function<bool(float)>)
{
    throw std::logic_error("vectorised full search not built yet");
}

template class FullGenericAlgorithm<vector_ops::avx>;
template class FullGenericAlgorithm<vector_ops::sse2>;
} // namespace Flipsearch::FlipOpt

std::shared_ptr<Flipsearch::FlipOpt::Algorithm> fsum2_flipopt_full_sse2_create()
{
    return std::make_shared<Flipsearch::FlipOpt::FullGenericAlgorithm<vector_ops::sse2>>();
}

unsigned fsum2_flipopt_full_sse2_minTracks()
{
    return 19;
}

unsigned fsum2_flipopt_full_sse2_maxTracks()
{
    return 64;
}

std::shared_ptr<Flipsearch::FlipOpt::Algorithm> fsum2_flipopt_full_avx_create()
{
    return std::make_shared<Flipsearch::FlipOpt::FullGenericAlgorithm<vector_ops::avx>>();
}

unsigned fsum2_flipopt_full_avx_minTracks()
{
    return 19;
}

unsigned fsum2_flipopt_full_avx_maxTracks()
{
    return 64;
}

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
