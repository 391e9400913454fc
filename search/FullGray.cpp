// "Full-Gray": the exhaustive search that walks the candidates in Gray-code order, so that each
// step flips one track and the value follows in linear time. The last track is fixed at -1; the
// values carried are quarters of the energy.

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
        d::require_tracks(corr, n, 1, 32, "Full-Gray");
        const float* mat = corr->matrix.data();
        const std::size_t m = n - 1;

        float v = 0.0f;
        {
            const std::vector<int> work(n, -1);
            const float h = d::half_energy(mat, work.data(), n);
            v = (h + h) * 0.25f;
        }

        const std::uint32_t count = std::uint32_t(1) << m;
        const float divisor = static_cast<float>(count);
        float best = 0.0f;
        std::uint32_t bestIndex = 0;
        std::uint32_t previous = 0;
        for (std::uint32_t i = 0; i < count; ++i)
        {
            const std::uint32_t g = i ^ (i >> 1);
            if ((i & 0xFFFFu) == 0 && !progress(static_cast<float>(i) / divisor))
                break;
            if (i > 0)
            {
                const unsigned k = static_cast<unsigned>(__builtin_ctz(g ^ previous));
                const bool up = d::gray_step(v, mat, g, k, m);
                // The last track is -1.
                if (up)
                    v -= d::element(mat, m, k);
                else
                    v += d::element(mat, m, k);
            }
            if (v > best)
            {
                best = v;
                bestIndex = g;
            }
            previous = g;
        }

        for (std::size_t u = 0; u < m; ++u)
            polarities[u] = ((bestIndex >> u) & 1u) ? 1 : -1;
        polarities[m] = -1;
        bestValue = 4.0f * best;
    }
};

Flipsearch::PluginHelper<Algorithm, Flipsearch::FlipOpt::Plugin> plug_reg FLIPSEARCH_INIT_ORDER(3){
    "Full-Gray", "Full algorithm w/ Gray code", Flipsearch::TAG_FULL, 0u, 1, 32u};
} // namespace
