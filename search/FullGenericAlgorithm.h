#pragma once

// The vectorised exhaustive search for 19 to 64 tracks ("Full-AVX" and "Full-SSE2").
// process runs on the caller's thread (the engine's processing thread) and, from 28 tracks on,
// on up to 15 worker threads that it starts and joins itself; only the caller's thread calls the
// progress callback. No worker outlives process, whatever it throws.

#include "search/FlipOptAlgorithm.h"
#include "search/VectorOps.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace Flipsearch::FlipOpt
{
// Test and benchmark hook: the hardware thread count the vectorised full search assumes in place
// of std::thread::hardware_concurrency(); 0 (the default) uses the hardware's. Any thread may set
// it; a search reads it once when it starts.
void set_full_search_hardware_threads(unsigned count);
// The count a search starting now would assume (the override, else the hardware's, 0 as 1).
unsigned full_search_hardware_threads();

template <class V>
class FullGenericAlgorithm : public Algorithm
{
public:
    // The full symmetric copy of the matrix that every share reads: rows padded with zeros to a
    // multiple of 32 (AVX) or 16 (SSE2) floats, aligned to 32 or 16 bytes. Owns its storage.
    struct simple_aligned_mat
    {
        float* data = nullptr;
        std::size_t size = 0;
        std::size_t stride = 0;

        // Copies the first `tracks` tracks of corr's packed matrix (which must hold them).
        // Throws std::bad_alloc when the storage cannot be had.
        simple_aligned_mat(const Correlation::Algorithm& corr, std::size_t tracks);
        ~simple_aligned_mat();
        simple_aligned_mat(const simple_aligned_mat&) = delete;
        simple_aligned_mat& operator=(const simple_aligned_mat&) = delete;
    };

    // Fewest tracks searched; fewer are refused with std::invalid_argument.
    static constexpr std::size_t MIN_TRACKS = 19;
    // Most tracks searched; tracks beyond are set to -1.
    static constexpr std::size_t MAX_TRACKS = 64;
    // Most shares (the calling thread and up to 15 workers).
    static constexpr unsigned MAX_SHARES = 16;

    // Searches all 2^(n-1) sign vectors with the last track at -1 (n from setup). Calls progress
    // on this thread only; false stops the search, which keeps the best found so far. Ends with
    // progress(1.0f). Writes polarities and bestValue (the best energy) unless it throws.
    void process(const Correlation::Algorithm::ptr_t& corr, std::function<bool(float)> progress) override;

    // The search of units [begin, end) of one share; may run on any thread, several at once with
    // the same matrix and masks. masks: the lane tracks' sign-mask vectors (-0.0f where the track
    // is -1). Leaves the share's best candidate (first visited among equals) in bestIndex and its
    // value (a quarter of the energy) in bestValue, also when progress stopped it.
    void process_th(std::uint64_t begin, std::uint64_t end, const simple_aligned_mat& mat, const float* masks,
                    float base, const std::function<bool(float)>& progress, std::uint64_t& bestIndex,
                    float& bestValue) const;

    // Number of shares for a search of `units` units on `hardwareThreads` threads (0 counts as 1).
    static unsigned share_count(std::uint64_t units, unsigned hardwareThreads);
    // First unit of share t of `shares`; share t covers [share_begin(t), share_begin(t + 1)).
    static std::uint64_t share_begin(std::uint64_t units, unsigned shares, unsigned t);
    // The lane tracks' sign-mask vectors, one after the other (3 x 8 floats for AVX, 2 x 4 SSE2).
    static void fill_sign_masks(float* masks);
    // Sum of the upper-left G x G block, rows then columns, as one running float.
    static float block_sum(const simple_aligned_mat& mat);
};

extern template class FullGenericAlgorithm<vector_ops::avx>;
extern template class FullGenericAlgorithm<vector_ops::sse2>;
} // namespace Flipsearch::FlipOpt
