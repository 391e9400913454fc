#include "search/FlipOptAlgorithm.h"

namespace Flipsearch::FlipOpt
{
Algorithm::~Algorithm() = default;

void Algorithm::setup(const Correlation::Algorithm::ptr_t& corr)
{
    teardown();
    polarities.assign(corr->nTracks, 0);
}

void Algorithm::teardown()
{
    polarities.clear();
    bestValue = 0.0f;
}
} // namespace Flipsearch::FlipOpt
