#include "search/VectorRecords.h"

#include "search/CpuFeatures.h"
#include "search/Factories.h"

namespace Flipsearch
{
CorrelationRecord make_corr_sse2_record()
{
    return CorrelationRecord("SSE2", "Add SSE2 vectorization", &fsum2_corr_sse2_create, TAG_SSE2,
                             fsum2_corr_sse2_minTracks(), 10, &should_enable_sse2_plugin);
}

SearchRecord make_flipopt_full_sse2_record()
{
    return SearchRecord("Full-SSE2", "Add SSE2 vectorization", &fsum2_flipopt_full_sse2_create,
                        TAG_SSE2 | TAG_MULTICORE | TAG_FULL, fsum2_flipopt_full_sse2_minTracks(), 10,
                        &should_enable_sse2_plugin, fsum2_flipopt_full_sse2_maxTracks());
}

CorrelationRecord make_corr_avx_record()
{
    const bool avx = cpu_has_avx();
    return CorrelationRecord("AVX", "Add AVX vectorization", &fsum2_corr_avx_create, TAG_AVX,
                             avx ? fsum2_corr_avx_minTracks() : 0u, 20, &should_enable_avx_plugin);
}

SearchRecord make_flipopt_full_avx_record()
{
    const bool avx = cpu_has_avx();
    return SearchRecord("Full-AVX", "Add AVX vectorization", &fsum2_flipopt_full_avx_create,
                        TAG_AVX | TAG_MULTICORE | TAG_FULL, avx ? fsum2_flipopt_full_avx_minTracks() : 0u, 20,
                        &should_enable_avx_plugin, avx ? fsum2_flipopt_full_avx_maxTracks() : 0u);
}
} // namespace Flipsearch
