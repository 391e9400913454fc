// "Full-Gray2": the exhaustive search for 7 to 32 tracks that walks tracks 0 to 5 in a 6-bit Gray
// code inside blocks of 64 candidates and sets the higher tracks from the block number; a table of
// six sums per block carries the pull of the higher tracks on the low ones. The last track is
// fixed at -1; the values carried are quarters of the energy.

#include "search/Plugin.h"
#include "search/SearchSupport.h"

#include <cstdint>
#include <vector>

namespace
{
constexpr std::size_t lowTracks = 6;

class Algorithm : public Flipsearch::FlipOpt::Algorithm
{
public:
    void process(const Flipsearch::Correlation::Algorithm::ptr_t& corr,
                 std::function<bool(float)> progress) override
    {
        namespace d = Flipsearch::FlipOpt::details_;
        const std::size_t n = polarities.size();
        bestValue = 0.0f;
        d::require_tracks(corr, n, 7, 32, "Full-Gray2");
        const float* mat = corr->matrix.data();
        const std::size_t m = n - 1;

        const std::uint32_t count = std::uint32_t(1) << ((n - 7) % 32);
        const float divisor = static_cast<float>(count);
        std::vector<int> work(n);
        float best = 0.0f;
        std::uint32_t bestIndex = 0;

        for (std::uint32_t o = 0; o < count; ++o)
        {
            if ((o & 0x1FFu) == 0 && !progress(static_cast<float>(o) / divisor))
                break;
            const std::uint32_t base = o << lowTracks;

            for (std::size_t u = 0; u < n; ++u)
                work[u] = (u >= lowTracks && u < m && ((base >> u) & 1u)) ? 1 : -1;
            const float h = d::half_energy(mat, work.data(), n);
            float v = (h + h) * 0.25f;

            // Pull of the high tracks (the last one at -1) on each low track.
            float table[lowTracks];
            for (std::size_t t = 0; t < lowTracks; ++t)
            {
                float sum = 0.0f;
                for (std::size_t u = lowTracks; u < n; ++u)
                    sum += static_cast<float>(work[u]) * d::element(mat, u, t);
                table[t] = sum;
            }

            std::uint32_t previous = 0;
            for (std::uint32_t i = 0; i < 64; ++i)
            {
                const std::uint32_t g = i ^ (i >> 1);
                if (i > 0)
                {
                    const unsigned k = static_cast<unsigned>(__builtin_ctz(g ^ previous));
                    const bool up = d::gray_step(v, mat, g, k, lowTracks);
                    if (up)
                        v += table[k];
                    else
                        v -= table[k];
                }
                if (v > best)
                {
                    best = v;
                    bestIndex = g | base;
                }
                previous = g;
            }
        }
        // The closing report; the search is over whatever it answers.
        progress(1.0f);

        for (std::size_t u = 0; u < m; ++u)
            polarities[u] = ((bestIndex >> u) & 1u) ? 1 : -1;
        polarities[m] = -1;
        bestValue = 4.0f * best;
    }
};

Flipsearch::PluginHelper<Algorithm, Flipsearch::FlipOpt::Plugin> plug_reg FLIPSEARCH_INIT_ORDER(4){
    "Full-Gray2", "Full algorithm w/ Gray code + lookup table for high bits", Flipsearch::TAG_FULL, 7u, 2,
    32u};
} // namespace
