#include "search/FullGenericAlgorithm.h"

#include "search/Factories.h"
#include "search/FullGenericKernel.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

namespace Flipsearch::FlipOpt
{
namespace
{
std::atomic<unsigned> hardwareThreadsOverride{0};

// Units at and above which the search is split into shares.
constexpr std::uint64_t MIN_UNITS_TO_SPLIT = 512;
// One slot per possible share.
constexpr unsigned SHARE_SLOTS = 16;
static_assert(FullGenericAlgorithm<vector_ops::avx>::MAX_SHARES == SHARE_SLOTS);
static_assert(FullGenericAlgorithm<vector_ops::sse2>::MAX_SHARES == SHARE_SLOTS);

// One worker's share: its thread and its best candidate. Written only by its worker until joined.
struct alignas(64) share_slot_t
{
    std::thread thread;
    std::uint64_t bestIndex = 0;
    float bestValue = 0.0f;
    std::exception_ptr error;
};

// Stops and joins every running worker when process leaves, also by an exception: clears the
// continue flag first so that each worker ends at its next progress report.
class worker_joiner
{
public:
    worker_joiner(std::array<share_slot_t, SHARE_SLOTS>& slots, std::atomic<bool>& keepGoing)
        : slots_(slots), keepGoing_(keepGoing)
    {
    }
    worker_joiner(const worker_joiner&) = delete;
    worker_joiner& operator=(const worker_joiner&) = delete;

    ~worker_joiner()
    {
        keepGoing_.store(false, std::memory_order_relaxed);
        for (auto& slot : slots_)
            if (slot.thread.joinable())
                slot.thread.join();
    }

private:
    std::array<share_slot_t, SHARE_SLOTS>& slots_;
    std::atomic<bool>& keepGoing_;
};
} // namespace

void set_full_search_hardware_threads(unsigned count)
{
    hardwareThreadsOverride.store(count, std::memory_order_relaxed);
}

unsigned full_search_hardware_threads()
{
    unsigned count = hardwareThreadsOverride.load(std::memory_order_relaxed);
    if (count == 0)
        count = std::thread::hardware_concurrency();
    return std::max(count, 1u);
}

template <class V>
FullGenericAlgorithm<V>::simple_aligned_mat::simple_aligned_mat(const Correlation::Algorithm& corr,
                                                                std::size_t tracks)
{
    using traits = details_::full_search_traits<V>;
    if (tracks > corr.nTracks || corr.matrix.size() < Correlation::Algorithm::packedIndex(tracks, 0))
        throw std::invalid_argument("correlation matrix holds fewer than " + std::to_string(tracks) +
                                    " tracks");

    const std::size_t stride = (tracks + traits::rowPadding - 1) / traits::rowPadding * traits::rowPadding;
    std::size_t bytes = stride * tracks * sizeof(float);
    bytes = (bytes + traits::alignment - 1) / traits::alignment * traits::alignment;
    void* storage = nullptr;
    if (bytes == 0 || posix_memalign(&storage, traits::alignment, bytes) != 0)
        throw std::bad_alloc();

    data = static_cast<float*>(storage);
    size = tracks;
    this->stride = stride;
    std::fill(data, data + bytes / sizeof(float), 0.0f);
    for (std::size_t i = 0; i < tracks; ++i)
        for (std::size_t j = 0; j < tracks; ++j)
            data[i * stride + j] =
                corr.matrix[Correlation::Algorithm::packedIndex(std::max(i, j), std::min(i, j))];
}

template <class V>
FullGenericAlgorithm<V>::simple_aligned_mat::~simple_aligned_mat()
{
    std::free(data);
}

template <class V>
unsigned FullGenericAlgorithm<V>::share_count(std::uint64_t units, unsigned hardwareThreads)
{
    if (units < MIN_UNITS_TO_SPLIT || hardwareThreads <= 1)
        return 1;
    return std::min(hardwareThreads, MAX_SHARES);
}

template <class V>
std::uint64_t FullGenericAlgorithm<V>::share_begin(std::uint64_t units, unsigned shares, unsigned t)
{
    const std::uint64_t q = units / shares;
    const std::uint64_t r = units % shares;
    const std::uint64_t h = shares / 2;
    return q * t + (r * t + h) / shares;
}

template <class V>
void FullGenericAlgorithm<V>::fill_sign_masks(float* masks)
{
    constexpr unsigned W = details_::full_search_traits<V>::lanes;
    for (unsigned a = 0; a < details_::full_search_traits<V>::laneTracks; ++a)
        for (unsigned lane = 0; lane < W; ++lane)
            masks[a * W + lane] = ((details_::COUNTING_BIT_PATTERN[a] >> lane) & 1u) != 0 ? 0.0f : -0.0f;
}

template <class V>
float FullGenericAlgorithm<V>::block_sum(const simple_aligned_mat& mat)
{
    constexpr unsigned G = details_::full_search_traits<V>::grayTracks;
    float sum = 0.0f;
    for (unsigned i = 0; i < G; ++i)
        for (unsigned j = 0; j < G; ++j)
            sum = sum + mat.data[i * mat.stride + j];
    return sum;
}

template <class V>
void FullGenericAlgorithm<V>::process_th(std::uint64_t begin, std::uint64_t end,
                                         const simple_aligned_mat& mat, const float* masks, float base,
                                         const std::function<bool(float)>& progress, std::uint64_t& bestIndex,
                                         float& bestValue) const
{
    bestIndex = 0;
    bestValue = details_::START_BEST_VALUE;
    if (begin >= end)
        return;

    FullGenericKernel<V> kernel(mat.data, mat.size, mat.stride, masks, base);
    const float span = static_cast<float>(end - begin);
    for (std::uint64_t u = begin; u < end; ++u)
    {
        if ((u - begin) % details_::UNITS_PER_REPORT == 0 && !progress(static_cast<float>(u - begin) / span))
            return;
        kernel.search_unit(u, bestIndex, bestValue);
    }
}

template <class V>
void FullGenericAlgorithm<V>::process(const Correlation::Algorithm::ptr_t& corr,
                                      std::function<bool(float)> progress)
{
    using traits = details_::full_search_traits<V>;

    const std::size_t n = polarities.size();
    if (n < MIN_TRACKS)
        throw std::invalid_argument("vectorised full search needs at least " + std::to_string(MIN_TRACKS) +
                                    " tracks, got " + std::to_string(n));
    if (!corr)
        throw std::invalid_argument("vectorised full search without a correlation object");
    if (!progress)
        throw std::bad_function_call();

    const std::size_t tracks = std::min(n, MAX_TRACKS);
    const simple_aligned_mat mat(*corr, tracks);
    alignas(32) float masks[traits::laneTracks * traits::lanes];
    fill_sign_masks(masks);
    const float base = block_sum(mat);
    const std::uint64_t units = std::uint64_t(1) << (tracks - MIN_TRACKS);
    const unsigned shares = share_count(units, full_search_hardware_threads());

    std::uint64_t bestIndex = 0;
    float best = 0.0f;
    if (shares == 1)
    {
        process_th(0, units, mat, masks, base, progress, bestIndex, best);
    }
    else
    {
        std::atomic<bool> keepGoing{true};
        std::array<share_slot_t, SHARE_SLOTS> slots;
        // Workers read only the continue flag; share 0 passes the caller's answer on to it.
        const std::function<bool(float)> workerRelay = [&keepGoing](float)
        { return keepGoing.load(std::memory_order_relaxed); };
        const std::function<bool(float)> callerRelay = [&progress, &keepGoing](float fraction)
        {
            const bool goOn = progress(fraction);
            keepGoing.store(goOn, std::memory_order_relaxed);
            return goOn;
        };
        {
            const worker_joiner joiner(slots, keepGoing);
            for (unsigned t = 1; t < shares; ++t)
            {
                share_slot_t& slot = slots[t];
                const std::uint64_t begin = share_begin(units, shares, t);
                const std::uint64_t end = share_begin(units, shares, t + 1);
                try
                {
                    slot.thread = std::thread(
                        [this, &slot, &keepGoing, &mat, &masks, &workerRelay, base, begin, end]
                        {
                            try
                            {
                                process_th(begin, end, mat, masks, base, workerRelay, slot.bestIndex,
                                           slot.bestValue);
                            }
                            catch (...)
                            {
                                slot.error = std::current_exception();
                                keepGoing.store(false, std::memory_order_relaxed);
                            }
                        });
                }
                catch (const std::system_error& e)
                {
                    throw std::system_error(e.code(), "thread constructor failed");
                }
            }

            process_th(0, share_begin(units, shares, 1), mat, masks, base, callerRelay, bestIndex, best);

            for (unsigned t = 1; t < shares; ++t)
            {
                slots[t].thread.join();
                if (slots[t].bestValue > best)
                {
                    best = slots[t].bestValue;
                    bestIndex = slots[t].bestIndex;
                }
            }
        }
        for (unsigned t = 1; t < shares; ++t)
            if (slots[t].error)
                std::rethrow_exception(slots[t].error);
    }

    progress(1.0f);

    for (std::size_t t = 0; t < n; ++t)
        polarities[t] = (t + 1 < tracks && ((bestIndex >> t) & 1u) != 0) ? 1 : -1;
    bestValue = best * 4.0f;
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
