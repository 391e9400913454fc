#include "search/FullGenericAlgorithm.h"

#include "search/Factories.h"

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
