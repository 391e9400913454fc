#pragma once

// Factory functions of the vectorised algorithms, wrapped by their registry records.
// Each _create returns a new object with every field zero.

#include "search/CorrelationAlgorithm.h"
#include "search/FlipOptAlgorithm.h"

#include <memory>

std::shared_ptr<Flipsearch::Correlation::Algorithm> fsum2_corr_sse2_create();
unsigned fsum2_corr_sse2_minTracks();
std::shared_ptr<Flipsearch::Correlation::Algorithm> fsum2_corr_avx_create();
unsigned fsum2_corr_avx_minTracks();

std::shared_ptr<Flipsearch::FlipOpt::Algorithm> fsum2_flipopt_full_sse2_create();
unsigned fsum2_flipopt_full_sse2_minTracks();
unsigned fsum2_flipopt_full_sse2_maxTracks();
std::shared_ptr<Flipsearch::FlipOpt::Algorithm> fsum2_flipopt_full_avx_create();
unsigned fsum2_flipopt_full_avx_minTracks();
unsigned fsum2_flipopt_full_avx_maxTracks();
