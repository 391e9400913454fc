// The processing thread and the search run: units presented with the zero buffer in place of
// missing tracks, the job finished once and only after its last unit, the choice of correlation
// and search, and an exception that ends a job without ending the thread.

#include "EngineTestSupport.h"
#include "HandoverTestSupport.h"
#include "engine/ProcessWorker.h"

#include "search/Plugin.h"

#include "search/PluginChoice.h"

#include <gtest/gtest.h>

#include <locale>
#include <sstream>
#include <thread>

namespace
{
using P = FlipsumAudioProcessor;
using M = FlipsumManager;
using Corr = Flipsearch::Correlation::Algorithm;

// A correlation that notes what it is given, and throws while told to.
struct NotingCorrelation : Corr
{
    static std::atomic<bool> fail;
    static std::vector<std::vector<float>> chunks; // per presented chunk: each track's sample sum
    static std::vector<const float*> first_pointers;
    void process_presentChunk(std::size_t n, const float* const* channels) override
    {
        if (fail.load())
            throw std::runtime_error("correlation failed");
        Corr::process_presentChunk(n, channels);
        std::vector<float> sums;
        for (std::size_t t = 0; t < nTracks; ++t)
        {
            float s = 0;
            for (std::size_t i = 0; i < n; ++i)
                s += channels[t][i];
            sums.push_back(s);
            if (chunks.empty())
                first_pointers.push_back(channels[t]);
        }
        chunks.push_back(sums);
    }
};
std::atomic<bool> NotingCorrelation::fail{false};
std::vector<std::vector<float>> NotingCorrelation::chunks;
std::vector<const float*> NotingCorrelation::first_pointers;

// Its record, first in the registry while it is enabled.
struct NotingRecord : Flipsearch::PluginHelper<NotingCorrelation, Flipsearch::Correlation::Plugin>
{
    NotingRecord() : PluginHelper("Noting", "notes its chunks", 0u, 1u, 1000) {}
    bool enabled() const override { return on.load(); }
    std::atomic<bool> on{true};
};

// A full search that reports progress until it is told to stop, or until a limit far longer than
// any test's wait has passed (a search of many tracks runs for hours).
struct EndlessSearch : Flipsearch::FlipOpt::Algorithm
{
    static std::atomic<bool> running;
    static std::atomic<bool> told_to_stop;
    void process(const Corr::ptr_t&, std::function<bool(float)> progress) override
    {
        running = true;
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < limit)
        {
            if (!progress(0.5f))
            {
                told_to_stop = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        running = false;
    }
};
std::atomic<bool> EndlessSearch::running{false};
std::atomic<bool> EndlessSearch::told_to_stop{false};

// A full search that waits until the test releases it (or a limit passes), then inverts every
// track but the first.
struct GatedSearch : Flipsearch::FlipOpt::Algorithm
{
    static std::atomic<bool> running;
    static std::atomic<bool> released;
    void process(const Corr::ptr_t&, std::function<bool(float)>) override
    {
        running = true;
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!released.load() && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::fill(polarities.begin(), polarities.end(), -1);
        if (!polarities.empty())
            polarities[0] = 1;
    }
};
std::atomic<bool> GatedSearch::running{false};
std::atomic<bool> GatedSearch::released{false};

struct Buffers
{
    explicit Buffers(std::size_t n)
    {
        for (std::size_t i = 0; i < n; ++i)
        {
            float* const p = M::allocate_buffer();
            EXPECT_NE(p, nullptr);
            std::fill_n(p, M::unit_samples, float(i + 1));
            owned.emplace_back(p);
        }
    }
    float* operator[](std::size_t i) const { return owned[i].get(); }
    std::vector<std::unique_ptr<float, M::buffer_deleter>> owned;
};

struct Processing : ::testing::Test
{
    logtest::LevelScope level{8};
    LogReader log;
    std::unique_ptr<P> proc = std::make_unique<P>();
    std::shared_ptr<M> mgr = M::get_inst();

    M::job_ptr job_of(std::size_t tracks)
    {
        auto job = std::make_shared<M::job_t>();
        for (std::size_t t = 0; t < tracks; ++t)
            job->tracks.emplace(std::make_pair(reinterpret_cast<P*>(0x1000 * (t + 1)), std::size_t(0)), t);
        return job;
    }
    std::unique_ptr<M::work_unit_t> unit(const M::job_ptr& job, std::size_t num, std::vector<float*> bufs)
    {
        auto u = std::make_unique<M::work_unit_t>();
        u->unitnum = num;
        u->bufs = std::move(bufs);
        u->job = job;
        return u;
    }
};

TEST_F(Processing, MissingTracksGetTheZeroBufferAndTheJobFinishesAfterItsLastUnit)
{
    NotingRecord record;
    FlipsumManagerProbe::stop_workers(*mgr);
    NotingCorrelation::chunks.clear();
    NotingCorrelation::first_pointers.clear();
    const Buffers b(2);
    auto job = job_of(3);
    FlipsumManagerProbe::enqueue(*mgr, unit(job, 4, {b[0], nullptr, reinterpret_cast<float*>(2)}));
    FlipsumManagerProbe::enqueue(*mgr, unit(job, 5, {nullptr, nullptr, nullptr}));
    FlipsumManagerProbe::enqueue(*mgr, unit(job, 6, {nullptr, b[1], nullptr}));
    FlipsumManagerProbe::set_complete(*mgr, *job);
    ProcessWorker worker(*mgr);

    EXPECT_EQ(worker.pass(), 3u);
    EXPECT_EQ(log.count("Starting new job"), 1u);
    EXPECT_EQ(log.count("Using correlation algorithm: Noting"), 1u);
    worker.pass();
    EXPECT_EQ(mgr->last_job_outcome().serial, 0u) << "a unit of the job is still queued";
    worker.pass();
    EXPECT_EQ(mgr->last_job_outcome().serial, 1u);
    EXPECT_EQ(job->n_processed.load(), 3u);
    EXPECT_EQ(FlipsumManagerProbe::done_units(*mgr), 3u);
    EXPECT_FALSE(worker.job());

    // The unit without any buffer was not presented; the others had zeros for the missing tracks.
    const float full = float(M::unit_samples);
    ASSERT_EQ(NotingCorrelation::chunks.size(), 2u);
    EXPECT_EQ(NotingCorrelation::chunks[0], (std::vector<float>{full, 0.0f, 0.0f}));
    EXPECT_EQ(NotingCorrelation::chunks[1], (std::vector<float>{0.0f, 2.0f * full, 0.0f}));
    EXPECT_EQ(NotingCorrelation::first_pointers[1], NotingCorrelation::first_pointers[2]);
    EXPECT_EQ(log.count("Processing work unit #5"), 1u);
    EXPECT_EQ(log.count("RMS_raw="), 1u);
}

TEST_F(Processing, NoUsableCorrelationEndsTheJobWithoutASearch)
{
    FlipsumManagerProbe::stop_workers(*mgr);
    const Buffers b(1);
    auto job = job_of(0); // no correlation takes 0 tracks
    FlipsumManagerProbe::enqueue(*mgr, unit(job, 0, {}));
    FlipsumManagerProbe::enqueue(*mgr, unit(job, 1, {}));
    FlipsumManagerProbe::set_complete(*mgr, *job);
    mgr->set_recording_armed_internal(true);
    ProcessWorker worker(*mgr);
    worker.pass();
    worker.pass();
    EXPECT_EQ(log.count("No usable plugin found, quitting!"), 2u);
    std::size_t usable_records = 0;
    for (const auto* p : Flipsearch::Factory<Flipsearch::Correlation::Plugin>::get_inst().plugins)
        usable_records += p->enabled() && p->min_tracks() == 1;
    EXPECT_EQ(log.count(" needs more tracks ( 0 < 1 )"), 2u * usable_records);
    EXPECT_EQ(mgr->last_job_outcome().end, M::job_end_t::no_correlation);
    EXPECT_EQ(log.count("Looking for FlipOpt algorithm"), 0u);
    EXPECT_TRUE(FlipsumManagerProbe::armed(*mgr)) << "this path leaves the armed flag alone";
}

// The search choice by kind and track count, with its pinned lines.
TEST_F(Processing, SearchChoiceByKindAndTrackCount)
{
    FlipsumManagerProbe::stop_workers(*mgr);
    const auto corr_of = [](std::size_t n)
    {
        auto corr =
            Flipsearch::Factory<Flipsearch::Correlation::Plugin>::get_inst().plugins.back()->getInstance();
        corr->process_setup(n);
        return corr;
    };
    mgr->set_recording_armed_internal(true);
    mgr->set_alg_mode_internal(M::ALG_FULL);
    FlipsumManagerProbe::doflipopt(*mgr, corr_of(70), job_of(70));
    EXPECT_EQ(log.count("Looking for FlipOpt algorithm..."), 1u);
    EXPECT_EQ(log.count(",Fast-Simple is not a Full-type algorithm"), 1u);
    EXPECT_EQ(log.count(",Full-AVX needs fewer tracks ( 70 > 64 )") + log.count(",Full-AVX is not enabled"),
              1u);
    EXPECT_EQ(log.count(",Full-Gray needs fewer tracks ( 70 > 32 )"), 1u);
    EXPECT_EQ(log.count("No usable FlipOpt plugin found, quitting!"), 1u);
    EXPECT_FALSE(FlipsumManagerProbe::armed(*mgr));
    EXPECT_EQ(mgr->last_job_outcome().end, M::job_end_t::no_search);

    mgr->set_alg_mode_internal(M::ALG_FAST);
    FlipsumManagerProbe::doflipopt(*mgr, corr_of(5), job_of(5));
    std::size_t full_before_fast = 0;
    for (const auto* p : Flipsearch::Factory<Flipsearch::FlipOpt::Plugin>::get_inst().plugins)
    {
        if (p->name() == "Fast-Simple")
            break;
        full_before_fast += p->enabled();
    }
    EXPECT_EQ(log.count(" is not a Fast-type algorithm"), full_before_fast);
    EXPECT_GT(full_before_fast, 0u);
    EXPECT_EQ(log.count("Using flipopt algorithm: Fast-Simple"), 1u);
    // A silent job: every level is 0, so both figures are the largest float.
    const auto outcome = mgr->last_job_outcome();
    EXPECT_EQ(outcome.end, M::job_end_t::done);
    EXPECT_EQ(outcome.db_raw, 3.4028234663852886e38f);
    EXPECT_EQ(outcome.db_prev, 3.4028234663852886e38f);
    EXPECT_EQ(outcome.flips, 0u); // the job's instances do not exist: nothing is applied
    // Every step of the search run reports under the run's own signature.
    EXPECT_EQ(
        log.count("\"void FlipsumManager::process_thread_doflipopt(const "
                  "Flipsearch::Correlation::Algorithm::ptr_t&, const job_ptr&, const std::vector<float>&, "
                  "const std::vector<float>&)\",Using flipopt algorithm: Fast-Simple"),
        1u);
}

// The engine's own choice of a search, for every track count either kind can meet, is the one
// the registry's order gives (the library's choice, whose table the registry test pins).
TEST(SearchChoice, ByKindAndTrackCountAsTheRegistryOrders)
{
    for (unsigned n = 0; n <= 1001; ++n)
    {
        ASSERT_EQ(FlipsumManagerProbe::choose(M::ALG_FULL, n),
                  Flipsearch::choose_search(n, Flipsearch::TAG_FULL))
            << n;
        ASSERT_EQ(FlipsumManagerProbe::choose(M::ALG_FAST, n),
                  Flipsearch::choose_search(n, Flipsearch::TAG_FAST))
            << n;
    }
    EXPECT_EQ(FlipsumManagerProbe::choose(M::ALG_FULL, 65), nullptr);
    EXPECT_EQ(FlipsumManagerProbe::choose(M::ALG_FAST, 999)->name(), "Fast-Simple");
}

// A progress report's estimate of the time left, and which reports reach the master's status line:
// none in the first second, from 1 s on those with an estimate of a second or more, from 1.5 s on
// every one.
TEST_F(Processing, ProgressReportsReachTheStatusLineWithTheTimeLeft)
{
    struct report_t
    {
        float progress, elapsed;
        const char* status; // the status line's arguments, or null when the report does not reach it
    };
    const report_t reports[] = {
        {0.25f, 2.0f, "progress=0.25, remaining=6"}, {0.25f, 0.8f, nullptr},
        {0.5f, 1.2f, "progress=0.5, remaining=1.2"}, {0.9f, 1.2f, nullptr},
        {0.8f, 1.6f, "progress=0.8, remaining=0.4"}, {-1.0f, 0.0f, nullptr},
    };
    for (const auto& r : reports)
    {
        const LogReader status_log;
        EXPECT_EQ(FlipsumManagerProbe::report_progress(*mgr, r.progress, r.elapsed), r.elapsed + 0.3f);
        std::vector<std::string> status;
        for (const auto& line : status_log.lines())
            if (line.find("FlipsumManager::set_master_status_progress(") != std::string::npos)
                status.push_back(line.substr(line.find(", progress=") + 2));
        EXPECT_EQ(status, r.status ? std::vector<std::string>{r.status} : std::vector<std::string>{})
            << r.progress << " after " << r.elapsed << " s";
    }
}

// The matrix record is written with the classic number format whatever locale the host set.
TEST_F(Processing, MatrixRecordIgnoresTheProcessLocale)
{
    struct Comma : std::numpunct<char>
    {
        char do_decimal_point() const override { return ','; }
        char do_thousands_sep() const override { return '.'; }
        std::string do_grouping() const override { return "\3"; }
    };
    FlipsumManagerProbe::stop_workers(*mgr);
    auto corr =
        Flipsearch::Factory<Flipsearch::Correlation::Plugin>::get_inst().plugins.back()->getInstance();
    corr->process_setup(2);
    corr->matrix = {1234.5f, -0.5f, 2.0f};
    const std::locale before = std::locale::global(std::locale(std::locale::classic(), new Comma));
    FlipsumManagerProbe::doflipopt(*mgr, corr, job_of(2));
    std::locale::global(before);
    EXPECT_EQ(log.count(",corr=[  1234.5,    -0.5;    -0.5,       2]"), 1u);
}

// The real processing thread meets an exception: the job ends in order, recording is disarmed,
// and the next job is served by the same thread.
TEST_F(Processing, AnExceptionEndsTheJobButNotTheThread)
{
    NotingRecord record; // registered before the threads of a new manager read the registry
    proc.reset();
    mgr.reset();
    proc = std::make_unique<P>();
    mgr = M::get_inst();
    proc->setPlayConfigDetails(1, 1, 48000.0, 4096);
    proc->prepareToPlay(48000.0, 4096);
    proc->setNonRealtime(true);
    FakePlayHead head;
    proc->setPlayHead(&head);
    juce::AudioBuffer<float> buffer(1, 4096);
    juce::MidiBuffer midi;
    const auto play = [&]
    {
        const std::size_t serial = mgr->last_job_outcome().serial;
        mgr->set_recording_armed_internal(true);
        head.playing = true;
        for (head.time = 0; head.time < 3 * 65536; head.time += 4096)
        {
            buffer.clear();
            buffer.setSample(0, 7, 0.5f);
            proc->processBlock(buffer, midi);
        }
        head.playing = false;
        proc->processBlock(buffer, midi);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (mgr->last_job_outcome().serial == serial && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return mgr->last_job_outcome();
    };

    NotingCorrelation::fail = true;
    EXPECT_EQ(play().end, M::job_end_t::failed);
    EXPECT_EQ(log.count("Exception! St13runtime_error: correlation failed"), 1u);
    EXPECT_FALSE(FlipsumManagerProbe::armed(*mgr));
    EXPECT_EQ(FlipsumManagerProbe::process_state(*mgr), 1);

    // The failed job ends on the processing thread before the gather thread has seen its last
    // stream end; the next play must start after that, or it would count as the same recording.
    EXPECT_TRUE(logtest::pump_until([&] { return log.count("Recording complete: 1 tracks") == 1; },
                                    std::chrono::seconds(60)));
    NotingCorrelation::fail = false;
    record.on = false; // the next job takes the library's own correlation
    const auto outcome = play();
    EXPECT_EQ(outcome.end, M::job_end_t::done);
    EXPECT_EQ(outcome.tracks, 1u);
    EXPECT_EQ(log.count("Exception!"), 1u);
    proc->setPlayHead(nullptr);
    proc.reset();
    mgr.reset();
}
// The last instance goes while a long search runs: the manager's destructor must stop the search
// at its next progress report rather than wait for it to finish, and nothing is applied.
TEST_F(Processing, RemovingTheLastInstanceStopsARunningSearch)
{
    // Registered while the processing thread has no job, so it does not read the registry meanwhile.
    const Flipsearch::PluginHelper<EndlessSearch, Flipsearch::FlipOpt::Plugin> record(
        "Endless", "runs until stopped", Flipsearch::TAG_FULL, 1u, 1000, 64u);
    mgr->set_alg_mode_internal(M::ALG_FULL);
    mgr->set_recording_armed_internal(true);
    auto job = job_of(2);
    // Tracks that carry signal: a search runs only for those.
    FlipsumManagerProbe::enqueue(*mgr, unit(job, 0,
                                            {FlipsumManagerProbe::pool_buffer(*mgr, 1.0f),
                                             FlipsumManagerProbe::pool_buffer(*mgr, 2.0f)}));
    FlipsumManagerProbe::set_complete(*mgr, *job);
    FlipsumManagerProbe::wake_processing(*mgr);
    job.reset();
    ASSERT_TRUE(logtest::pump_until([] { return EndlessSearch::running.load(); }, std::chrono::seconds(10)));

    const std::weak_ptr<M> gone = mgr;
    proc.reset();
    mgr.reset(); // the last reference: the destructor stops both threads
    EXPECT_TRUE(gone.expired());
    EXPECT_TRUE(EndlessSearch::told_to_stop.load()) << "the search ran to its own limit";
    EXPECT_FALSE(EndlessSearch::running.load());
    EXPECT_EQ(log.count("Processing cancelled"), 1u);
    EXPECT_EQ(log.count("RMS_raw="), 0u);
}
// An instance removed on the message thread while the search for its track runs: the result is
// applied to the instances still registered and the removed one is not touched.
TEST_F(Processing, AnInstanceRemovedDuringTheSearchIsLeftOutOfTheResult)
{
    const Flipsearch::PluginHelper<GatedSearch, Flipsearch::FlipOpt::Plugin> record(
        "Gated", "waits to be released", Flipsearch::TAG_FULL, 1u, 1000, 64u);
    mgr->set_alg_mode_internal(M::ALG_FULL);
    auto other = std::make_unique<P>();
    auto job = std::make_shared<M::job_t>();
    for (P* p : {proc.get(), other.get()})
    {
        job->tracks.emplace(std::make_pair(p, std::size_t(0)), job->tracks.size());
        job->serials.emplace(p, p->handle()->serial);
    }
    FlipsumManagerProbe::enqueue(*mgr, unit(job, 0,
                                            {FlipsumManagerProbe::pool_buffer(*mgr, 1.0f),
                                             FlipsumManagerProbe::pool_buffer(*mgr, 2.0f)}));
    FlipsumManagerProbe::set_complete(*mgr, *job);
    FlipsumManagerProbe::wake_processing(*mgr);
    job.reset();
    ASSERT_TRUE(logtest::pump_until([] { return GatedSearch::running.load(); }, std::chrono::seconds(10)));

    std::ostringstream removed;
    removed << "Setting processor 0x" << logger::hex(other.get());
    other.reset();
    GatedSearch::released = true;
    ASSERT_TRUE(
        logtest::pump_until([&] { return mgr->last_job_outcome().serial == 1; }, std::chrono::seconds(10)));
    EXPECT_EQ(mgr->last_job_outcome().end, M::job_end_t::done);
    EXPECT_EQ(log.count("Setting processor 0x"), 1u);
    EXPECT_EQ(log.count(removed.str()), 0u);
}
} // namespace
