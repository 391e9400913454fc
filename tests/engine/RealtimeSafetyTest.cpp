// Real-time safety of the audio path. This program replaces the C allocator and the pthread mutex
// lock calls with counting versions that forward to the C library, and counts on the calling thread
// only, while a scope is open: so every allocation, free and mutex acquisition made inside
// processBlock and processBlockBypassed (including hidden ones: std::function, strings, shared
// pointers' control blocks, containers growing, enabled log statements) is seen. It is built only
// without a sanitizer, which brings its own allocator.

#include "HandoverTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <malloc.h>
#include <pthread.h>
#include <string>
#include <thread>

namespace
{
struct tls_counters_t
{
    bool armed;
    std::size_t allocations;
    std::size_t frees;
    std::size_t locks;
    const void* last_lock;
};
// Initial-exec: reading it from inside malloc never allocates.
__attribute__((tls_model("initial-exec"))) thread_local tls_counters_t rt_counters;

inline void note_allocation() noexcept
{
    if (rt_counters.armed)
        ++rt_counters.allocations;
}
inline void note_free(void* p) noexcept
{
    if (rt_counters.armed && p != nullptr)
        ++rt_counters.frees;
}
inline void note_lock(const void* m) noexcept
{
    if (rt_counters.armed)
    {
        ++rt_counters.locks;
        rt_counters.last_lock = m;
    }
}
} // namespace

// --- The C library's own entry points, and the replacements ---------------------------------------

extern "C"
{
    void* __libc_malloc(std::size_t);
    void __libc_free(void*);
    void* __libc_calloc(std::size_t, std::size_t);
    void* __libc_realloc(void*, std::size_t);
    void* __libc_memalign(std::size_t, std::size_t);

    int rt_real_mutex_lock(pthread_mutex_t*);
    int rt_real_mutex_trylock(pthread_mutex_t*);
    int rt_real_rwlock_rdlock(pthread_rwlock_t*);
    int rt_real_rwlock_wrlock(pthread_rwlock_t*);
}
__asm__(".symver rt_real_mutex_lock,__pthread_mutex_lock@GLIBC_2.2.5");
__asm__(".symver rt_real_mutex_trylock,__pthread_mutex_trylock@GLIBC_2.2.5");
__asm__(".symver rt_real_rwlock_rdlock,__pthread_rwlock_rdlock@GLIBC_2.2.5");
__asm__(".symver rt_real_rwlock_wrlock,__pthread_rwlock_wrlock@GLIBC_2.2.5");

extern "C"
{
    void* malloc(std::size_t n)
    {
        note_allocation();
        return __libc_malloc(n);
    }
    void free(void* p)
    {
        note_free(p);
        __libc_free(p);
    }
    void* calloc(std::size_t n, std::size_t size)
    {
        note_allocation();
        return __libc_calloc(n, size);
    }
    void* realloc(void* p, std::size_t n)
    {
        note_allocation();
        return __libc_realloc(p, n);
    }
    void* memalign(std::size_t alignment, std::size_t n)
    {
        note_allocation();
        return __libc_memalign(alignment, n);
    }
    void* aligned_alloc(std::size_t alignment, std::size_t n)
    {
        note_allocation();
        return __libc_memalign(alignment, n);
    }
    int posix_memalign(void** out, std::size_t alignment, std::size_t n)
    {
        note_allocation();
        if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0)
            return EINVAL;
        void* const p = __libc_memalign(alignment, n);
        if (p == nullptr)
            return ENOMEM;
        *out = p;
        return 0;
    }
    void* valloc(std::size_t n)
    {
        note_allocation();
        return __libc_memalign(static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), n);
    }

    int pthread_mutex_lock(pthread_mutex_t* m)
    {
        note_lock(m);
        return rt_real_mutex_lock(m);
    }
    int pthread_mutex_trylock(pthread_mutex_t* m)
    {
        note_lock(m);
        return rt_real_mutex_trylock(m);
    }
    int pthread_rwlock_rdlock(pthread_rwlock_t* l)
    {
        note_lock(l);
        return rt_real_rwlock_rdlock(l);
    }
    int pthread_rwlock_wrlock(pthread_rwlock_t* l)
    {
        note_lock(l);
        return rt_real_rwlock_wrlock(l);
    }
}

// operator new goes through malloc above, whatever the C++ library does inside.
void* operator new(std::size_t n)
{
    if (void* p = malloc(n == 0 ? 1 : n))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n)
{
    return operator new(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept
{
    return malloc(n == 0 ? 1 : n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept
{
    return malloc(n == 0 ? 1 : n);
}
void* operator new(std::size_t n, std::align_val_t al)
{
    void* p = nullptr;
    if (posix_memalign(&p, std::max(static_cast<std::size_t>(al), sizeof(void*)), n == 0 ? 1 : n) != 0)
        throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t n, std::align_val_t al)
{
    return operator new(n, al);
}
void operator delete(void* p) noexcept
{
    free(p);
}
void operator delete[](void* p) noexcept
{
    free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    free(p);
}
void operator delete(void* p, std::align_val_t) noexcept
{
    free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept
{
    free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept
{
    free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept
{
    free(p);
}

namespace
{
using M = FlipsumManager;
using P = FlipsumAudioProcessor;

// What one stretch of code did on its own thread.
struct counts_t
{
    std::size_t allocations = 0;
    std::size_t frees = 0;
    std::size_t locks = 0;
    const void* last_lock = nullptr;
};

// Counts on this thread while it lives.
class Counting
{
public:
    Counting() noexcept { rt_counters = tls_counters_t{true, 0, 0, 0, nullptr}; }
    ~Counting() { rt_counters.armed = false; }
    counts_t stop() noexcept
    {
        rt_counters.armed = false;
        return {rt_counters.allocations, rt_counters.frees, rt_counters.locks, rt_counters.last_lock};
    }
    Counting(const Counting&) = delete;
    Counting& operator=(const Counting&) = delete;
};

template <class F>
counts_t count(F&& f)
{
    Counting c;
    f();
    return c.stop();
}

// The counters themselves, so that a quiet audio path means something.
TEST(Counters, SeeHiddenAllocationsAndLocks)
{
    const auto shared = count([] { auto p = std::make_shared<std::array<char, 64>>(); });
    EXPECT_EQ(shared.allocations, 1u);
    EXPECT_EQ(shared.frees, 1u);

    const auto function = count(
        []
        {
            const std::array<double, 8> big{};
            std::function<double()> f = [big] { return big[3]; };
            EXPECT_EQ(f(), 0.0);
        });
    EXPECT_GE(function.allocations, 1u);

    const auto text = count([] { std::string s(100, 'x'); });
    EXPECT_EQ(text.allocations, 1u);

    std::mutex m;
    const auto locked = count([&] { const std::lock_guard<std::mutex> lock(m); });
    EXPECT_EQ(locked.locks, 1u);
    EXPECT_EQ(locked.last_lock, static_cast<const void*>(m.native_handle()));

    juce::CriticalSection cs;
    EXPECT_EQ(count([&] { const juce::ScopedLock lock(cs); }).locks, 1u);

    // An enabled log statement allocates; a suppressed one does not.
    logger::manager::dynamic_loglevel = 0;
    EXPECT_EQ(count([] { FSUM_LOG(8) << "quiet " << 1.5 << std::string("text"); }).allocations, 0u);

    // Another thread's allocations are not counted here.
    const auto other = count([] { std::thread([] { std::string s(100, 'y'); }).join(); });
    EXPECT_LE(other.allocations, 2u); // the thread's own start-up state
}

// One instance played block by block on the test thread, its hand-over served by hand between
// the blocks; each block's processBlock is counted.
struct AudioPath : ::testing::Test
{
    std::unique_ptr<P> proc = std::make_unique<P>();
    M::slave_hnd_t hnd = proc->handle();
    GatherDetach detached{*proc};
    FakePlayHead head;
    FakeGather gather{16, false};
    juce::MidiBuffer midi;
    juce::AudioBuffer<float> buffer{2, 4096};
    // Entries the gather side took after each block: buffers and markers.
    std::size_t taken_buffers = 0;
    std::size_t taken_markers = 0;
    bool serve = true;
    // The second channel's input: its own, digital silence, or a copy of the first.
    enum class Second
    {
        own,
        silent,
        copy
    } second = Second::own;

    void SetUp() override
    {
        logger::manager::dynamic_loglevel = 0;
        proc->setPlayHead(&head);
        prepare(2, 512);
        hnd->mgr->set_recording_armed_internal(true);
        gather.offer(*hnd);
    }
    void TearDown() override
    {
        logger::manager::dynamic_loglevel = 0;
        hnd->mgr->set_filter_mode_internal(M::FILT_OFF);
        hnd->mgr->set_bypass_all_internal(false);
    }
    void prepare(int channels, int block)
    {
        proc->setPlayConfigDetails(channels, channels, 48000.0, block);
        proc->prepareToPlay(48000.0, block);
        buffer.setSize(channels, 4096);
    }
    const void* first_mutex() const { return FlipsumManagerProbe::first_mutex_handle(*hnd->mgr); }

    // Plays one block of n samples at timeline position t; the gather side runs after it.
    counts_t play(std::int64_t t, int n, bool playing = true)
    {
        head.playing = playing;
        head.time = t;
        buffer.setSize(buffer.getNumChannels(), n, false, false, true);
        for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
        {
            const int from = ch == 1 && second == Second::copy ? 0 : ch;
            for (int i = 0; i < n; ++i)
                buffer.setSample(ch, i,
                                 ch == 1 && second == Second::silent
                                     ? 0.0f
                                     : static_cast<float>((t + i + from * 977) % 2001 - 1000) / 1024.0f);
        }
        const counts_t c = count([&] { proc->processBlock(buffer, midi); });
        if (serve)
        {
            for (const auto& entry : gather.drain(*hnd))
                ++(entry.marker == 0 ? taken_buffers : taken_markers);
            gather.offer(*hnd);
        }
        return c;
    }

    // A whole play: a stream start, blocks crossing unit boundaries, a stop. Every block allocates
    // and frees nothing; the start block of a send takes the manager's first mutex once (to read
    // the armed flag), no other block takes any lock.
    void play_through(std::int64_t from, int block, int blocks, std::size_t start_locks = 1)
    {
        SCOPED_TRACE(testing::Message() << "from " << from << ", block " << block);
        for (int b = 0; b < blocks; ++b)
        {
            const counts_t c = play(from + std::int64_t(b) * block, block);
            ASSERT_EQ(c.allocations, 0u) << "block " << b;
            ASSERT_EQ(c.frees, 0u) << "block " << b;
            ASSERT_EQ(c.locks, b == 0 ? start_locks : 0u) << "block " << b;
            if (c.locks == 1)
                ASSERT_EQ(c.last_lock, first_mutex());
        }
        const counts_t end = play(0, block, false);
        EXPECT_EQ(end.allocations, 0u);
        EXPECT_EQ(end.frees, 0u);
        EXPECT_EQ(end.locks, 0u);
        const counts_t stopped = play(0, block, false);
        EXPECT_EQ(stopped.allocations + stopped.frees + stopped.locks, 0u);
    }
};

TEST_F(AudioPath, StereoRecordingAcrossUnitsAllocatesNothingAndLocksOnlyAtTheStreamStart)
{
    // 100,000 is not a multiple of the block: blocks straddle every unit boundary.
    play_through(100000, 512, 400);
    EXPECT_EQ(taken_markers, 4u);
    EXPECT_EQ(taken_buffers, 2u * 4u); // units 1 to 4 of both channels
    // A second play of the same instance: a new stream, the buffers recycled.
    play_through(300000, 480, 300);
    EXPECT_EQ(taken_markers, 8u);
}

// Mono material on two channels: every block compares the whole second channel.
TEST_F(AudioPath, SilentOrCopiedSecondChannelAllocatesNothing)
{
    second = Second::silent;
    play_through(100000, 512, 300);
    second = Second::copy;
    play_through(300000, 480, 300);
    EXPECT_EQ(taken_markers, 8u);
}

TEST_F(AudioPath, ForcedMonoThroughTheLowShelfAllocatesNothing)
{
    proc->set_force_record_mono(true);
    hnd->mgr->set_filter_mode_internal(M::FILT_LOWBOOST);
    proc->set_gain(6.0f);
    proc->set_polarity(1, -1);
    play_through(65000, 512, 300);
    EXPECT_EQ(taken_markers, 2u);
    EXPECT_GE(taken_buffers, 2u);
    // A block longer than the scratch space is recorded in pieces, still without allocating.
    play_through(0, 4096, 40);
}

TEST_F(AudioPath, MonoInstanceAllocatesNothing)
{
    prepare(1, 256);
    play_through(0, 256, 600);
    EXPECT_EQ(taken_markers, 2u);
    EXPECT_EQ(taken_buffers, 3u);
}

TEST_F(AudioPath, InstancesThatDoNotRecordAllocateNothing)
{
    hnd->mgr->set_bypass_all_internal(true); // armed, but bypass-all keeps sends from recording
    play_through(0, 512, 50);
    hnd->mgr->set_bypass_all_internal(false);
    proc->set_as_master(); // neither the master nor an instance in role off asks to record
    play_through(0, 512, 50, 0);
    proc->set_not_master(false);
    play_through(0, 512, 50, 0);
    hnd->mgr->set_recording_armed_internal(false);
    proc->set_not_master(true);
    // A send that is not armed reads the armed flag at the start edge: one lock, nothing else.
    const counts_t start = play(0, 512);
    EXPECT_EQ(start.allocations + start.frees, 0u);
    EXPECT_EQ(start.locks, 1u);
    EXPECT_EQ(taken_markers + taken_buffers, 0u);
    head.has_position = false; // no position: not playing
    EXPECT_EQ(play(512, 512).locks + play(1024, 512).allocations, 0u);
}

// A gather side that does not keep up: no spare buffer on offer, then a full ring. The audio path
// gives up stretches of the recording within a bounded number of tries, still without allocating.
TEST_F(AudioPath, GatherFallingBehindCostsNoAllocationAndNoLock)
{
    serve = false;
    for (int b = 0; b < 700; ++b)
    {
        const counts_t c = play(std::int64_t(b) * 512, 512);
        ASSERT_EQ(c.allocations + c.frees, 0u) << "block " << b;
        ASSERT_EQ(c.locks, b == 0 ? 1u : 0u) << "block " << b;
    }
    EXPECT_EQ(M::free_submit_slots(*hnd), 2u); // only the end markers' room is left
    const counts_t end = play(0, 512, false);
    EXPECT_EQ(end.allocations + end.frees + end.locks, 0u);
    EXPECT_EQ(M::free_submit_slots(*hnd), 0u);
}

// With an editor open the audio thread also measures the meter's peak and leaves playback events
// for the editor; it still calls nothing of the editor, allocates nothing and locks only at the start.
TEST_F(AudioPath, WithAnOpenEditorNoBlockAllocatesOrLocksMore)
{
    std::unique_ptr<juce::AudioProcessorEditor> editor(proc->createEditorIfNeeded());
    ASSERT_NE(editor, nullptr);
    ASSERT_TRUE(proc->has_open_editor());
    const std::uint32_t events = proc->playback_event();
    play_through(100000, 512, 300);
    EXPECT_EQ(proc->playback_event(), events + 4) << "one start and one stop, each counted twice";
    const counts_t measured = play(0, 512);
    EXPECT_EQ(measured.allocations + measured.frees, 0u);
    EXPECT_GT(proc->get_and_clear_peak(), 0.0f) << "the meter's peak is measured";
    play(0, 512, false);
    proc->set_force_record_mono(true);
    play_through(0, 64, 2100);
    proc->editorBeingDeleted(editor.get());
    editor.reset();
    EXPECT_FALSE(proc->has_open_editor());
}

TEST_F(AudioPath, HostBypassAllocatesNothing)
{
    play(0, 512);
    for (int b = 1; b < 200; ++b)
    {
        const counts_t c = count([&] { proc->processBlockBypassed(buffer, midi); });
        ASSERT_EQ(c.allocations + c.frees + c.locks, 0u);
    }
    // Back from the bypass, still playing: the block clears the flag and records on.
    const counts_t back = play(200 * 512, 512);
    EXPECT_EQ(back.allocations + back.frees + back.locks, 0u);
    // A stop that comes while bypassed ends the play in the bypassed block.
    head.playing = false;
    const counts_t stop = count([&] { proc->processBlockBypassed(buffer, midi); });
    EXPECT_EQ(stop.allocations + stop.frees + stop.locks, 0u);
    for (const auto& entry : gather.drain(*hnd))
        taken_markers += entry.marker == 2 ? 1 : 0;
    EXPECT_EQ(taken_markers, 4u); // two starts, two ends
}

// The manager's own gather thread serves two instances that a second thread plays as a host's
// audio thread would: in real time with a pause per block, or as an offline render that waits for
// a gather thread held up meanwhile. The audio thread allocates nothing and takes only the first
// mutex at each instance's stream start, whatever the gather thread does.
void play_with_the_managers_gather_thread(const bool offline)
{
    logger::manager::dynamic_loglevel = 0;
    std::vector<std::unique_ptr<P>> procs;
    procs.push_back(std::make_unique<P>());
    procs.push_back(std::make_unique<P>());
    FakePlayHead head;
    for (auto& p : procs)
    {
        p->setPlayHead(&head);
        p->prepareToPlay(48000.0, 512);
        p->setNonRealtime(offline);
    }
    procs[0]->set_force_record_mono(true);
    const auto mgr = procs[0]->handle()->mgr;
    mgr->set_recording_armed_internal(true);
    GatherHoldUp hold(std::chrono::milliseconds(300));

    counts_t total;
    std::size_t start_locks = 0;
    std::thread audio(
        [&]
        {
            juce::AudioBuffer<float> buffer(2, 512);
            juce::MidiBuffer midi;
            for (int b = 0; b <= 1200; ++b)
            {
                head.playing = b < 1200;
                head.time = std::int64_t(b) * 512;
                for (int ch = 0; ch < 2; ++ch)
                    for (int i = 0; i < 512; ++i)
                        buffer.setSample(ch, i, float((b * 512 + i) % 97) / 97.0f);
                for (auto& p : procs)
                {
                    const counts_t c = count([&] { p->processBlock(buffer, midi); });
                    total.allocations += c.allocations;
                    total.frees += c.frees;
                    (b == 0 ? start_locks : total.locks) += c.locks;
                }
                if (!offline)
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                else if (b == 300)
                    hold.request();
            }
        });
    audio.join();
    EXPECT_FALSE(hold.pending());
    EXPECT_EQ(total.allocations, 0u);
    EXPECT_EQ(total.frees, 0u);
    EXPECT_EQ(total.locks, 0u);
    EXPECT_EQ(start_locks, 2u);
    mgr->set_recording_armed_internal(false);
}

TEST(AudioThread, WithTheManagersGatherThreadAllocatesNothing)
{
    play_with_the_managers_gather_thread(false);
}

TEST(AudioThread, WaitingForAHeldUpGatherThreadAllocatesNothing)
{
    play_with_the_managers_gather_thread(true);
}
} // namespace
