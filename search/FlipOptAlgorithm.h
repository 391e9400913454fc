#pragma once

// The polarity search interface: from a finished correlation object it finds one sign per track
// (+1 keep, -1 invert) that maximises the energy of the summed tracks. One object serves one job
// and is used by one thread at a time; the progress callback runs on the thread calling process.

#include "search/CorrelationAlgorithm.h"

#include <functional>
#include <memory>
#include <vector>

namespace Flipsearch::FlipOpt
{
class Algorithm
{
public:
    using ptr_t = std::shared_ptr<Algorithm>;

    // One entry per track after a search: +1 keep, -1 invert; every entry 0 after setup.
    std::vector<int> polarities;
    // The objective value the search stores with its result.
    float bestValue = 0.0f;

    Algorithm() = default;
    Algorithm(const Algorithm&) = delete;
    Algorithm& operator=(const Algorithm&) = delete;
    virtual ~Algorithm();

    // teardown(), then one 0 entry in polarities per track of corr.
    virtual void setup(const Correlation::Algorithm::ptr_t& corr);

    // Runs the search over corr's matrix for as many tracks as setup left in polarities.
    // progress(fraction) is called on this thread; false asks an exhaustive search to stop and
    // keep the best result found so far.
    virtual void process(const Correlation::Algorithm::ptr_t& corr, std::function<bool(float)> progress) = 0;

    // Empties polarities and sets bestValue to 0.
    virtual void teardown();
};
} // namespace Flipsearch::FlipOpt
