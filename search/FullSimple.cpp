// "Full-Simple": the exhaustive search that evaluates every candidate in full. The last track
// is fixed at +1; candidate i sets track u to +1 when bit u of i is set.

#include "search/Plugin.h"
#include "search/SearchSupport.h"

#include <cstdint>
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
        d::require_tracks(corr, n, 1, 32, "Full-Simple");
        const float* m = corr->matrix.data();

        const std::uint32_t count = std::uint32_t(1) << ((n - 1) % 32);
        const float divisor = static_cast<float>(count);
        std::vector<int> work(n, 0);
        work[n - 1] = 1;

        float best = 0.0f;
        std::uint32_t bestIndex = 0;
        for (std::uint32_t i = 0; i < count; ++i)
        {
            for (std::size_t u = 0; u + 1 < n; ++u)
                work[u] = ((i >> u) & 1u) ? 1 : -1;
            const float h = d::half_energy(m, work.data(), n);
            const float e = h + h;
            if (e > best)
            {
                best = e;
                bestIndex = i;
            }
            if ((i & 0x3FFFFu) == 0 && !progress(static_cast<float>(i) / divisor))
                break;
        }

        for (std::size_t u = 0; u + 1 < n; ++u)
            polarities[u] = ((bestIndex >> u) & 1u) ? 1 : -1;
        polarities[n - 1] = 1;
        bestValue = best;
    }
};

Flipsearch::PluginHelper<Algorithm, Flipsearch::FlipOpt::Plugin> plug_reg FLIPSEARCH_INIT_ORDER(5){
    "Full-Simple", "Simple implementation of Full algorithm", Flipsearch::TAG_FULL, 0u, 1, 32u};
} // namespace
