// "Fast-Simple": the greedy polarity search for up to 999 tracks. It seeds with the most strongly
// correlated pair and then places one track per step, the one most strongly correlated with the
// tracks already placed, with the sign that makes it add. It reports progress but cannot be
// stopped.

#include "search/Plugin.h"
#include "search/SearchSupport.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace
{
class Algorithm : public Flipsearch::FlipOpt::Algorithm
{
public:
    void process(const Flipsearch::Correlation::Algorithm::ptr_t& corr,
                 std::function<bool(float)> progress) override
    {
        namespace d = Flipsearch::FlipOpt::details_;
        const std::size_t n = polarities.size();
        bestValue = 0.0f;
        if (n == 0)
            return;
        d::require_tracks(corr, n, 1, std::numeric_limits<std::size_t>::max() / 4, "Fast-Simple");
        const float* mat = corr->matrix.data();

        // Total work: the seed's pairs plus 2(n-k)k for every step k.
        const std::uint64_t n64 = n;
        const std::uint64_t total = n64 * (n64 - 1) / 2 + (n64 - 1) * (n64 - 2) * (n64 + 3) / 3;
        // One track: nothing to search, the single report says the search is done.
        const auto fraction = [total](std::uint64_t done)
        { return total == 0 ? 1.0f : static_cast<float>(done) / static_cast<float>(total); };

        std::vector<int> work(n, 0);
        // The placed tracks in ascending order: every sum runs over them in that order.
        std::vector<std::size_t> placed;
        placed.reserve(n);
        float gains = 0.0f;
        if (n == 1)
        {
            work[0] = 1;
        }
        else
        {
            std::size_t p = 1, q = 0;
            float c = 0.0f;
            for (std::size_t i = 1; i < n; ++i)
            {
                const float* row = mat + i * (i + 1) / 2;
                for (std::size_t j = 0; j < i; ++j)
                {
                    if (std::fabs(row[j]) > std::fabs(c))
                    {
                        c = row[j];
                        p = i;
                        q = j;
                    }
                }
            }
            work[q] = 1;
            work[p] = c >= 0.0f ? 1 : -1;
            gains = std::fabs(c);
            placed = {q, p};
        }

        std::uint64_t done = n64 * (n64 - 1) / 2;
        progress(fraction(done));

        for (std::size_t k = 2; k < n; ++k)
        {
            std::size_t chosen = n;
            float chosenSum = 0.0f;
            for (std::size_t t = 0; t < n; ++t)
            {
                if (work[t] != 0)
                    continue;
                float sum = 0.0f;
                for (const std::size_t u : placed)
                    sum += static_cast<float>(work[u]) * d::element(mat, t, u);
                if (chosen == n || std::fabs(sum) > std::fabs(chosenSum))
                {
                    chosen = t;
                    chosenSum = sum;
                }
            }
            done += 2 * (n64 - k) * k;
            work[chosen] = chosenSum >= 0.0f ? 1 : -1;
            placed.insert(std::upper_bound(placed.begin(), placed.end(), chosen), chosen);
            progress(fraction(done));
            gains += std::fabs(chosenSum);
        }

        polarities = work;
        bestValue = 4.0f * gains;
    }
};

Flipsearch::PluginHelper<Algorithm, Flipsearch::FlipOpt::Plugin> plug_reg FLIPSEARCH_INIT_ORDER(2){
    "Fast-Simple", "Simple implementation of Fast algorithm", Flipsearch::TAG_FAST, 1u, 1, 999u};
} // namespace
