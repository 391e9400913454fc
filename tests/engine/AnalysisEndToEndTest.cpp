// The whole analysis as a host drives it: send, master, off and host-bypassed instances play the
// same stretch of a song on two audio threads in blocks of several sizes; recording is armed
// through the manager; the manager's own gather and processing threads collect the recordings,
// correlate them, search and apply the polarities. Each result is checked against a brute-force
// optimum computed here, in double precision, from the signals as the instances record them.
// Mono material that a host passes on two channels (the second silent, or a copy of the first) is
// searched as the same material on a mono instance is; channels that carried no signal take no part.

#include "EngineTestSupport.h"
#include "HandoverTestSupport.h"

#include "search/PluginChoice.h"

#include "../support/StateNotices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <limits>
#include <random>
#include <thread>

namespace
{
using P = FlipsumAudioProcessor;
using M = FlipsumManager;

constexpr double rate = 48000.0;
constexpr int max_block = 2048;
// The transport starts inside unit 2 and stops inside unit 7.
constexpr std::int64_t song_start = 2 * 65536 + 20000;
constexpr std::size_t song_length = 5 * 65536 + 12345;
// Block sizes the host cycles through.
const int block_sizes[] = {512, 480, 1024, 64, 2048, 333, 256, 1500};

enum class Kind
{
    mono,
    stereo,
    forced_mono,
    master,
    off,
    bypassed,
    mono_silent_right, // mono material on two channels, the second silent
    mono_copied_right, // ... the second a copy of the first
    stereo_one_sample, // the second a copy of the first but for one sample late in the song
    mono_bias_right,   // mono material on two channels, the second a constant 1e-18
    faint,             // mono material at about -150 dBFS
    // Sends that carry no signal: digital silence, the constant 1e-18 that MusE feeds an unused
    // input, a denormal constant, on both channels the 1e-27 that Ardour adds against denormals, and
    // a send that the host does not run (a plug-in it bypasses or deactivates).
    silent,
    bias,
    denormal,
    stereo_bias,
    not_run
};

bool carries_no_signal(Kind kind)
{
    return kind == Kind::silent || kind == Kind::bias || kind == Kind::denormal ||
           kind == Kind::stereo_bias || kind == Kind::not_run;
}
float constant_of(Kind kind)
{
    return kind == Kind::bias          ? 1e-18f
           : kind == Kind::denormal    ? 1e-40f
           : kind == Kind::stereo_bias ? 1e-27f
                                       : 0.0f;
}

// Kinds whose second channel is searched with the first and gets its polarity.
bool linked(Kind kind)
{
    return kind == Kind::forced_mono || kind == Kind::mono_silent_right || kind == Kind::mono_copied_right ||
           kind == Kind::mono_bias_right;
}
// Kinds whose channels are tracks of their own.
int tracks_of(Kind kind)
{
    if (carries_no_signal(kind))
        return 0;
    return kind == Kind::stereo || kind == Kind::stereo_one_sample ? 2 : 1;
}

// One instance of the rig with its input (one vector per channel, song_length samples).
struct Instance
{
    Kind kind;
    float gain_db;
    std::unique_ptr<P> proc;
    std::vector<std::vector<float>> input;
    int channels() const
    {
        return kind == Kind::mono || kind == Kind::faint ||
                       (carries_no_signal(kind) && kind != Kind::stereo_bias && kind != Kind::not_run)
                   ? 1
                   : 2;
    }
};

// Lowpassed noise: neighbouring samples correlate, so small delays weaken a correlation without
// removing it.
std::vector<double> source(std::mt19937& rng, std::size_t n)
{
    std::normal_distribution<double> white(0.0, 1.0);
    std::vector<double> s(n);
    double y = 0.0;
    for (auto& v : s)
        v = y = 0.9 * y + white(rng);
    return s;
}

// A sense-reversing barrier for the audio threads: one host cycle at a time.
class Barrier
{
public:
    explicit Barrier(int n) : count(n) {}
    void arrive_and_wait()
    {
        std::unique_lock<std::mutex> lock(m);
        const int gen = generation;
        if (++waiting == count)
        {
            waiting = 0;
            ++generation;
            cv.notify_all();
            return;
        }
        cv.wait(lock, [&] { return generation != gen; });
    }

private:
    std::mutex m;
    std::condition_variable cv;
    const int count;
    int waiting = 0;
    int generation = 0;
};

struct Expectation
{
    std::vector<int> signs; // canonical optimum per track
    double db_raw, db_prev;
    double best, second; // energies of the best and the second-best sign vector
    std::uint32_t flips;
};

// Whether the correlation the engine chooses for n tracks keeps each track's largest magnitude as
// its peak, or its largest value: asked of the algorithm itself with a track that is all negative.
bool correlation_keeps_magnitude(unsigned n)
{
    const auto* record = Flipsearch::choose_correlation(n);
    if (record == nullptr)
        return true;
    const auto corr = record->getInstance();
    corr->process_setup(1);
    alignas(64) float x[64];
    std::fill(std::begin(x), std::end(x), -1.0f);
    const float* channels[] = {x};
    corr->process_presentChunk(64, channels);
    return corr->peaks[0] > 0.5f;
}

// Every sign vector with track 0 at +1 (the other half gives the same energies), in Gray-code
// order, each energy s'Cs updated from the previous one by the flipped track's row.
Expectation brute_force(const std::vector<double>& C, std::size_t n)
{
    std::vector<double> v(n, 0.0); // v = C s
    std::vector<int> s(n, 1);
    double E = 0;
    for (std::size_t i = 0; i < n; ++i)
    {
        for (std::size_t j = 0; j < n; ++j)
            v[i] += C[i * n + j];
        E += v[i];
    }
    Expectation e{};
    e.best = E;
    e.second = -1e300;
    std::uint64_t code = 0, best_code = 0;
    const std::uint64_t count = std::uint64_t(1) << (n - 1);
    for (std::uint64_t i = 1; i < count; ++i)
    {
        const std::size_t k = std::size_t(__builtin_ctzll(i)) + 1;
        const double sk = s[k];
        E += 4.0 * (C[k * n + k] - sk * v[k]);
        for (std::size_t j = 0; j < n; ++j)
            v[j] -= 2.0 * sk * C[j * n + k];
        s[k] = -s[k];
        code ^= std::uint64_t(1) << (k - 1);
        if (E > e.best)
        {
            e.second = e.best;
            e.best = E;
            best_code = code;
        }
        else if (E > e.second)
            e.second = E;
    }
    e.signs.assign(n, 1);
    for (std::size_t k = 1; k < n; ++k)
        if (best_code & (std::uint64_t(1) << (k - 1)))
            e.signs[k] = -1;
    return e;
}

class Rig
{
public:
    // kinds in the order made; every instance gets its own material.
    explicit Rig(const std::vector<Kind>& kinds, unsigned seed = 1)
    {
        std::mt19937 rng(seed);
        const std::size_t n = song_length + 8;
        const auto common = source(rng, n);
        std::vector<std::vector<double>> groups;
        for (int g = 0; g < 3; ++g)
            groups.push_back(source(rng, n));
        std::uniform_int_distribution<int> delay(0, 4), sign(0, 1);
        std::normal_distribution<double> white(0.0, 1.0);

        int q = 0; // channel counter: distinct amplitudes and groups
        for (const Kind kind : kinds)
        {
            Instance inst;
            inst.kind = kind;
            inst.gain_db = static_cast<float>((q % 7) - 3) * 1.5f;
            inst.proc = std::make_unique<P>();
            if (carries_no_signal(kind))
            {
                // No material drawn: the other sends get what they get without these.
                inst.input.assign(std::size_t(inst.channels()),
                                  std::vector<float>(song_length, constant_of(kind)));
                instances.push_back(std::move(inst));
                continue;
            }
            // The kinds that copy their first channel make one channel of material.
            const bool made_one = inst.kind == Kind::mono_silent_right ||
                                  inst.kind == Kind::mono_copied_right ||
                                  inst.kind == Kind::stereo_one_sample || inst.kind == Kind::mono_bias_right;
            for (int ch = 0; ch < (made_one ? 1 : inst.channels()); ++ch, ++q)
            {
                const double amp = 0.02 * (1.0 + 0.09 * q) * (kind == Kind::faint ? 1e-7 : 1.0);
                const double cs = sign(rng) ? 1.0 : -1.0, gs = sign(rng) ? 1.0 : -1.0;
                const int dc = delay(rng), dg = delay(rng);
                const auto& group = groups[std::size_t(q % 3)];
                std::vector<float> x(song_length);
                for (std::size_t t = 0; t < song_length; ++t)
                    x[t] = static_cast<float>(amp * (0.7 * cs * common[t + 8 - std::size_t(dc)] +
                                                     0.9 * gs * group[t + 8 - std::size_t(dg)] +
                                                     0.25 * white(rng)));
                inst.input.push_back(std::move(x));
            }
            if (made_one)
            {
                auto second = inst.kind == Kind::mono_silent_right ? std::vector<float>(song_length, 0.0f)
                              : inst.kind == Kind::mono_bias_right ? std::vector<float>(song_length, 1e-18f)
                                                                   : inst.input[0];
                if (inst.kind == Kind::stereo_one_sample)
                    second[song_length - 1000] += 0.01f; // in the last unit
                inst.input.push_back(std::move(second));
            }
            instances.push_back(std::move(inst));
        }

        for (auto& inst : instances)
        {
            P& p = *inst.proc;
            p.setPlayConfigDetails(inst.channels(), inst.channels(), rate, max_block);
            p.prepareToPlay(rate, max_block);
            p.setNonRealtime(true); // a bounce: the audio threads may wait for the gather thread
            p.set_gain(inst.gain_db);
            switch (inst.kind)
            {
            case Kind::forced_mono:
                p.set_force_record_mono(true);
                break;
            case Kind::master:
                p.set_as_master();
                break;
            case Kind::off:
                p.set_not_master(false);
                p.set_polarity(0, -1); // not analysed: keeps its polarity
                break;
            case Kind::bypassed:
            {
                p.set_polarity(1, -1);
                juce::AudioBuffer<float> buffer(2, 64);
                juce::MidiBuffer midi;
                p.processBlockBypassed(buffer, midi); // the host bypassed it before playing
                break;
            }
            default:
                break;
            }
        }
        manager = M::get_inst();

        // Tracks by processor address, channel 0 before channel 1.
        std::vector<const Instance*> sends;
        for (const auto& inst : instances)
            if (inst.kind != Kind::master && inst.kind != Kind::off && inst.kind != Kind::bypassed)
                sends.push_back(&inst);
        std::sort(sends.begin(), sends.end(), [](auto* a, auto* b) { return a->proc.get() < b->proc.get(); });
        for (const Instance* inst : sends)
            for (int ch = 0; ch < tracks_of(inst->kind); ++ch)
                tracks.push_back({inst, ch});
    }

    ~Rig()
    {
        manager.reset();
        instances.clear();
    }

    std::size_t n_tracks() const { return tracks.size(); }

    // Plays the song once on two audio threads and stops the transport; the first thread calls
    // at_cycle, when given, with the samples played so far before each cycle.
    void play(const std::function<void(std::size_t)>& at_cycle = {})
    {
        constexpr int n_threads = 2;
        Barrier barrier(n_threads);
        std::vector<FakePlayHead> heads(n_threads);
        for (std::size_t i = 0; i < instances.size(); ++i)
            instances[i].proc->setPlayHead(&heads[i % n_threads]);
        std::vector<std::thread> threads;
        for (int k = 0; k < n_threads; ++k)
            threads.emplace_back(
                [this, k, &barrier, &heads, &at_cycle]
                { audio_thread(k, n_threads, heads[std::size_t(k)], barrier, k == 0 ? at_cycle : nullptr); });
        for (auto& t : threads)
            t.join();
        for (auto& inst : instances)
            inst.proc->setPlayHead(nullptr);
    }

    // Waits for the job's result (the outcome serial grows past the one before the run).
    M::job_outcome_t wait_for_result(std::size_t serial_before) const
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (std::chrono::steady_clock::now() < end)
        {
            const auto outcome = manager->last_job_outcome();
            if (outcome.serial > serial_before)
                return outcome;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ADD_FAILURE() << "no result within the deadline";
        return {};
    }

    // The recorded signal of a track, as the instance records it: after gain, summed to mono,
    // through the low shelf when it is on.
    std::vector<double> recorded(std::size_t k, bool lowboost) const
    {
        const Instance& inst = *tracks[k].first;
        const double g = std::pow(10.0, inst.gain_db / 20.0);
        std::vector<double> r(song_length);
        for (std::size_t t = 0; t < song_length; ++t)
        {
            r[t] = inst.input[std::size_t(tracks[k].second)][t] * g;
            if (inst.kind == Kind::forced_mono)
                r[t] += inst.input[1][t] * g;
        }
        if (lowboost)
        {
            // The cookbook low shelf: 100 Hz, +20 dB, Q 1.
            const double A = std::pow(10.0, 20.0 / 40.0), w0 = 2.0 * M_PI * 100.0 / rate;
            const double c = std::cos(w0), alpha = std::sin(w0) / 2.0, k2 = 2.0 * std::sqrt(A) * alpha;
            const double b0 = A * ((A + 1) - (A - 1) * c + k2), b1 = 2 * A * ((A - 1) - (A + 1) * c),
                         b2 = A * ((A + 1) - (A - 1) * c - k2), a0 = (A + 1) + (A - 1) * c + k2,
                         a1 = -2 * ((A - 1) + (A + 1) * c), a2 = (A + 1) + (A - 1) * c - k2;
            double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
            for (auto& v : r)
            {
                const double y = (b0 * v + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2) / a0;
                x2 = x1;
                x1 = v;
                y2 = y1;
                y1 = y;
                v = y;
            }
        }
        return r;
    }

    // The optimum for the current settings, with prev the polarity each track's channel has now.
    Expectation expect(M::normMode_t norm, bool lowboost, const std::vector<int>& prev) const
    {
        const std::size_t n = n_tracks();
        std::vector<std::vector<double>> r;
        for (std::size_t k = 0; k < n; ++k)
            r.push_back(recorded(k, lowboost));
        std::vector<double> C(n * n), rms(n), peak(n);
        const bool magnitude = correlation_keeps_magnitude(unsigned(n));
        for (std::size_t i = 0; i < n; ++i)
        {
            for (std::size_t j = 0; j <= i; ++j)
            {
                double s = 0;
                for (std::size_t t = 0; t < song_length; ++t)
                    s += r[i][t] * r[j][t];
                C[i * n + j] = C[j * n + i] = s;
            }
            rms[i] = std::sqrt(C[i * n + i] / double(song_length));
            for (const double v : r[i])
                peak[i] = std::max(peak[i], magnitude ? std::abs(v) : v);
        }
        std::vector<double> w(n, 1.0);
        for (std::size_t i = 0; i < n; ++i)
            w[i] = norm == M::NORM_PEAK ? 1.0 / peak[i] : norm == M::NORM_RMS ? 1.0 / rms[i] : 1.0;
        std::vector<double> Cw(n * n);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j)
                Cw[i * n + j] = C[i * n + j] * w[i] * w[j];

        Expectation e = brute_force(Cw, n);
        // Canonical form: more +1 than -1, or the loudest track (then the larger peak) at +1.
        long sum = 0;
        for (const int s : e.signs)
            sum += s;
        if (sum == 0)
        {
            std::size_t k = 0;
            for (std::size_t i = 1; i < n; ++i)
                if (rms[i] > rms[k] || (rms[i] == rms[k] && peak[i] > peak[k]))
                    k = i;
            sum = e.signs[k];
        }
        if (sum < 0)
            for (auto& s : e.signs)
                s = -s;

        const auto energy = [&](const std::vector<int>& s)
        {
            double E = 0;
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < n; ++j)
                    E += s[i] * s[j] * Cw[i * n + j];
            return E;
        };
        const double e_new = energy(e.signs);
        e.db_raw = 10.0 * std::log10(e_new / energy(std::vector<int>(n, 1)));
        e.db_prev = 10.0 * std::log10(e_new / energy(prev));
        e.flips = 0;
        for (std::size_t k = 0; k < n; ++k)
            if (e.signs[k] < 0)
                e.flips += linked(tracks[k].first->kind) ? 2 : 1;
        return e;
    }

    // The polarity each track's channel has now.
    std::vector<int> current_polarities() const
    {
        std::vector<int> out;
        for (const auto& t : tracks)
            out.push_back(t.first->proc->get_polarity(std::size_t(t.second)));
        return out;
    }

    // Checks every channel of every instance after a run that applied signs (or, with signs
    // empty, that changed nothing since before).
    void expect_polarities(const std::vector<int>& signs, const std::vector<std::array<int, 2>>& before) const
    {
        for (std::size_t i = 0; i < instances.size(); ++i)
        {
            const Instance& inst = instances[i];
            std::array<int, 2> want = before[i];
            for (std::size_t k = 0; k < tracks.size() && !signs.empty(); ++k)
            {
                if (tracks[k].first != &inst)
                    continue;
                want[std::size_t(tracks[k].second)] = signs[k];
                if (linked(inst.kind))
                    want[1] = signs[k];
            }
            EXPECT_EQ(inst.proc->get_polarity(0), want[0]) << "instance " << i << " channel 0";
            EXPECT_EQ(inst.proc->get_polarity(1), want[1]) << "instance " << i << " channel 1";
        }
    }

    std::vector<std::array<int, 2>> all_polarities() const
    {
        std::vector<std::array<int, 2>> out;
        for (const auto& inst : instances)
            out.push_back({inst.proc->get_polarity(0), inst.proc->get_polarity(1)});
        return out;
    }

    std::vector<Instance> instances;
    std::vector<std::pair<const Instance*, int>> tracks;
    std::shared_ptr<M> manager;

private:
    void audio_thread(int k, int n_threads, FakePlayHead& head, Barrier& barrier,
                      const std::function<void(std::size_t)>& at_cycle)
    {
        std::vector<P*> mine;
        std::vector<const Instance*> inputs;
        for (std::size_t i = std::size_t(k); i < instances.size(); i += std::size_t(n_threads))
        {
            mine.push_back(instances[i].proc.get());
            inputs.push_back(&instances[i]);
        }
        juce::AudioBuffer<float> buffer(2, max_block);
        juce::MidiBuffer midi;
        std::size_t done = 0;
        for (int cycle = 0;; ++cycle)
        {
            const bool playing = done < song_length;
            const int n =
                playing ? int(std::min<std::size_t>(std::size_t(block_sizes[cycle % 8]), song_length - done))
                        : 256;
            if (at_cycle)
                at_cycle(done);
            head.playing = playing;
            head.time = song_start + std::int64_t(done);
            for (std::size_t i = 0; i < mine.size(); ++i)
            {
                buffer.setSize(inputs[i]->channels(), n, false, false, true);
                for (int ch = 0; ch < inputs[i]->channels(); ++ch)
                    for (int s = 0; s < n; ++s)
                        buffer.setSample(
                            ch, s, playing ? inputs[i]->input[std::size_t(ch)][done + std::size_t(s)] : 0.0f);
                if (inputs[i]->kind == Kind::not_run)
                    continue;
                if (inputs[i]->kind == Kind::bypassed)
                    mine[i]->processBlockBypassed(buffer, midi);
                else
                    mine[i]->processBlock(buffer, midi);
            }
            barrier.arrive_and_wait();
            if (!playing)
                return;
            done += std::size_t(n);
        }
    }
};

// One armed play of the rig with the given settings; checks the result against the optimum.
void run_and_check(Rig& rig, M::algMode_t alg, M::normMode_t norm, M::filterMode_t filter,
                   bool expect_optimum = true)
{
    SCOPED_TRACE(testing::Message() << "tracks " << rig.n_tracks() << ", alg " << alg << ", norm " << norm
                                    << ", filter " << filter);
    M& m = *rig.manager;
    m.set_alg_mode_internal(alg);
    m.set_norm_mode_internal(norm);
    m.set_filter_mode_internal(filter);
    const auto before = rig.all_polarities();
    const auto prev = rig.current_polarities();
    const Expectation e = rig.expect(norm, filter == M::FILT_LOWBOOST, prev);
    // The material must decide the optimum clearly, or single precision could pick another one.
    ASSERT_GT((e.best - e.second) / e.best, 1e-3) << "test material too ambiguous";

    const std::size_t serial = m.last_job_outcome().serial;
    m.set_recording_armed_internal(true);
    rig.play();
    const auto outcome = rig.wait_for_result(serial);
    ASSERT_EQ(outcome.end, M::job_end_t::done);
    EXPECT_EQ(outcome.tracks, rig.n_tracks());
    EXPECT_FALSE(FlipsumManagerProbe::armed(m));
    if (expect_optimum)
    {
        rig.expect_polarities(e.signs, before);
        EXPECT_EQ(outcome.flips, e.flips);
        EXPECT_NEAR(outcome.db_raw, e.db_raw, 0.02);
        EXPECT_NEAR(outcome.db_prev, e.db_prev, 0.02);
    }
}

// A full search that stops itself: its first progress report passes, then it presses the
// manager's stop button and reports again, which must tell it to stop.
class StoppingSearch : public Flipsearch::FlipOpt::Algorithm
{
public:
    static std::atomic<int> reports_before_stop;
    static std::atomic<int> reports_after_stop;
    void process(const Flipsearch::Correlation::Algorithm::ptr_t&,
                 std::function<bool(float)> progress) override
    {
        if (progress(0.0f))
            ++reports_before_stop;
        M::get_inst()->stop_processing_internal();
        for (int i = 1; i <= 100 && progress(0.01f * float(i)); ++i)
        {
        }
        ++reports_after_stop;
        std::fill(polarities.begin(), polarities.end(), -1);
    }
};
std::atomic<int> StoppingSearch::reports_before_stop{0};
std::atomic<int> StoppingSearch::reports_after_stop{0};

std::vector<Kind> rig_kinds(int stereo, int mono, bool forced)
{
    std::vector<Kind> kinds{Kind::master, Kind::off, Kind::bypassed};
    for (int i = 0; i < stereo || i < mono; ++i)
    {
        if (i < stereo)
            kinds.push_back(Kind::stereo);
        if (i < mono)
            kinds.push_back(Kind::mono);
    }
    if (forced)
        kinds.push_back(Kind::forced_mono);
    return kinds;
}

struct EndToEnd : ::testing::Test
{
    // Statements down to stream starts and ends, late and leaked buffers and the result's levels.
    logtest::LevelScope level{6};
    LogReader log;

    void expect_clean_log()
    {
        EXPECT_EQ(log.count("Recording gap"), 0u);
        EXPECT_EQ(log.count("found no free buffers"), 0u);
        EXPECT_EQ(log.count("Leaked buffer"), 0u);
        EXPECT_EQ(log.count("arrived late"), 0u);
        EXPECT_EQ(log.count("Can't insert"), 0u);
        EXPECT_EQ(log.count("Spurious"), 0u);
        EXPECT_EQ(log.count("Exception!"), 0u);
    }
};

TEST_F(EndToEnd, ThreeTracks)
{
    Rig rig(rig_kinds(1, 1, false), 11);
    ASSERT_EQ(rig.n_tracks(), 3u);
    run_and_check(rig, M::ALG_FULL, M::NORM_OFF, M::FILT_OFF);
    EXPECT_EQ(log.count("Recording complete: 3 tracks"), 1u);
    EXPECT_EQ(log.count("RMS_raw="), 1u);
    expect_clean_log();
}

TEST_F(EndToEnd, TwelveTracksFullFastNormalisationsAndLowBoost)
{
    Rig rig(rig_kinds(4, 3, true), 12);
    ASSERT_EQ(rig.n_tracks(), 12u);
    // The hosts have heard of the rig's set-up before they are listened to.
    juce::MessageManager::getInstance()->runDispatchLoopUntil(450);
    std::vector<std::unique_ptr<test_support::StateNotices>> heard;
    for (const auto& inst : rig.instances)
        heard.push_back(std::make_unique<test_support::StateNotices>(*inst.proc));
    const auto before = rig.all_polarities();
    run_and_check(rig, M::ALG_FULL, M::NORM_OFF, M::FILT_OFF);
    // Every instance's host hears of the result, also the hosts of instances it left as they were
    // (a host may run only some instances while its transport is stopped).
    const auto after = rig.all_polarities();
    ASSERT_NE(after, before) << "the result must flip a channel";
    juce::MessageManager::getInstance()->runDispatchLoopUntil(450);
    for (std::size_t i = 0; i < heard.size(); ++i)
        EXPECT_GE(heard[i]->count(), 1) << "instance " << i;
    heard.clear();

    // The user flips two tracks by hand; the next result is measured against that too.
    rig.tracks[1].first->proc->set_polarity(std::size_t(rig.tracks[1].second), -1);
    rig.tracks[4].first->proc->set_polarity(std::size_t(rig.tracks[4].second), 1);
    run_and_check(rig, M::ALG_FAST, M::NORM_OFF, M::FILT_OFF);
    run_and_check(rig, M::ALG_FULL, M::NORM_PEAK, M::FILT_OFF);
    run_and_check(rig, M::ALG_FULL, M::NORM_RMS, M::FILT_OFF);
    run_and_check(rig, M::ALG_FULL, M::NORM_OFF, M::FILT_LOWBOOST);
    EXPECT_EQ(log.count("Using flipopt algorithm: Fast-Simple"), 1u);
    EXPECT_EQ(log.count("Recording complete: 12 tracks"), 5u);
    expect_clean_log();
}

// Hosts that give a mono track two channels pass the second as digital silence or as a copy of
// the first: eight such sends are searched as eight tracks, with the polarities and the level
// change of the same material on eight mono instances, and each second channel ends with its first
// channel's polarity, counted as a linked instance's is. A second channel that differs from the
// first in one sample, late in the song, stays a track of its own.
TEST_F(EndToEnd, MonoMaterialOnTwoChannelsIsSearchedAsOneTrack)
{
    const auto eight = [](Kind kind)
    {
        std::vector<Kind> kinds{Kind::master};
        kinds.insert(kinds.end(), 8, kind);
        return kinds;
    };
    M::job_outcome_t mono;
    std::vector<int> mono_signs;
    {
        Rig rig(eight(Kind::mono), 8);
        run_and_check(rig, M::ALG_FULL, M::NORM_PEAK, M::FILT_OFF);
        mono = rig.manager->last_job_outcome();
        for (const auto& inst : rig.instances)
            mono_signs.push_back(inst.proc->get_polarity(0));
    }
    ASSERT_GT(mono.flips, 0u) << "the material must flip a track";

    for (const Kind kind : {Kind::mono_silent_right, Kind::mono_copied_right})
    {
        SCOPED_TRACE(kind == Kind::mono_silent_right ? "second channel silent" : "second channel a copy");
        const LogReader since;
        Rig rig(eight(kind), 8);
        ASSERT_EQ(rig.n_tracks(), 8u);
        run_and_check(rig, M::ALG_FULL, M::NORM_PEAK, M::FILT_OFF);
        const auto outcome = rig.manager->last_job_outcome();
        EXPECT_EQ(since.count("Searching 8 of 16 tracks"), 1u);
        EXPECT_EQ(outcome.tracks, 8u);
        EXPECT_EQ(outcome.flips, 2 * mono.flips);
        EXPECT_NEAR(outcome.db_raw, mono.db_raw, 1e-4);
        for (std::size_t i = 0; i < rig.instances.size(); ++i)
            EXPECT_EQ(rig.instances[i].proc->get_polarity(0), mono_signs[i]) << "instance " << i;
    }

    const LogReader since;
    Rig rig({Kind::master, Kind::mono, Kind::stereo_one_sample, Kind::mono}, 9);
    ASSERT_EQ(rig.n_tracks(), 4u);
    run_and_check(rig, M::ALG_FULL, M::NORM_OFF, M::FILT_OFF);
    EXPECT_EQ(since.count("Searching "), 0u);
    expect_clean_log();
}

// Sends that carried no signal for the whole job take no part in the search and keep the polarity
// they had (one inverted beforehand stays inverted); a mono track whose second channel carries the
// constant that a host adds against denormals is one track. The result is that of the same job
// without them: same polarities, same level change, and the flips count only the others. Under peak
// normalisation a denormal send's weight is infinite, which must not spoil the others' result.
TEST_F(EndToEnd, ChannelsThatCarriedNoSignalKeepTheirPolarity)
{
    const std::vector<Kind> with_signal{Kind::master, Kind::mono, Kind::stereo,
                                        Kind::mono,   Kind::mono, Kind::stereo};
    M::job_outcome_t reference;
    std::vector<std::array<int, 2>> reference_polarities;
    {
        Rig rig(with_signal, 5);
        run_and_check(rig, M::ALG_FULL, M::NORM_PEAK, M::FILT_OFF);
        reference = rig.manager->last_job_outcome();
        reference_polarities = rig.all_polarities();
    }
    ASSERT_GT(reference.flips, 0u) << "the material must flip a track";

    {
        std::vector<Kind> kinds = with_signal;
        kinds[4] = Kind::mono_bias_right;
        kinds.insert(kinds.end(),
                     {Kind::silent, Kind::bias, Kind::denormal, Kind::stereo_bias, Kind::not_run});
        const LogReader since;
        Rig rig(kinds, 5);
        ASSERT_EQ(rig.n_tracks(), 7u);
        rig.instances[6].proc->set_polarity(0, -1);
        rig.instances[9].proc->set_polarity(1, -1);
        rig.instances[10].proc->set_polarity(0, -1);
        run_and_check(rig, M::ALG_FULL, M::NORM_PEAK, M::FILT_OFF);
        const auto outcome = rig.manager->last_job_outcome();
        EXPECT_EQ(outcome.tracks, 7u);
        const auto polarities = rig.all_polarities();
        for (std::size_t i = 0; i < with_signal.size(); ++i)
            EXPECT_EQ(polarities[i][0], reference_polarities[i][0]) << "instance " << i;
        EXPECT_EQ(polarities[4][1], polarities[4][0]) << "both channels of a mono track";
        EXPECT_EQ(outcome.flips, reference.flips + (polarities[4][0] == -1 ? 1u : 0u));
        EXPECT_NEAR(outcome.db_raw, reference.db_raw, 1e-4);
        EXPECT_NEAR(outcome.db_prev, reference.db_prev, 1e-4);
        EXPECT_EQ(since.count("Searching 7 of 15 tracks"), 1u);
        EXPECT_EQ(since.count("carried no signal: keeps its polarity"), 7u);
        EXPECT_EQ(since.count("carried no signal: searched as part of"), 1u);
    }

    // Real signal at about -150 dBFS is a track of its own.
    {
        Rig faint({Kind::master, Kind::faint, Kind::faint, Kind::faint}, 6);
        run_and_check(faint, M::ALG_FULL, M::NORM_OFF, M::FILT_OFF);
    }

    // Only sends without signal (each rig has a manager of its own): no polarity changes, and the
    // levels are those of a matrix of zeros.
    Rig quiet({Kind::master, Kind::silent, Kind::bias, Kind::stereo_bias}, 7);
    quiet.instances[2].proc->set_polarity(0, -1);
    const auto before = quiet.all_polarities();
    M& m = *quiet.manager;
    const std::size_t serial = m.last_job_outcome().serial;
    m.set_recording_armed_internal(true);
    quiet.play();
    const auto nothing = quiet.wait_for_result(serial);
    EXPECT_EQ(nothing.end, M::job_end_t::done);
    EXPECT_EQ(nothing.tracks, 0u);
    EXPECT_EQ(nothing.flips, 0u);
    EXPECT_EQ(nothing.db_raw, std::numeric_limits<float>::max());
    EXPECT_EQ(nothing.db_prev, std::numeric_limits<float>::max());
    EXPECT_EQ(quiet.all_polarities(), before);
    EXPECT_FALSE(FlipsumManagerProbe::armed(m));
    expect_clean_log();
}

// Whether the full search the engine chooses for n tracks runs in this build.
bool full_search_runs(unsigned n)
{
    const auto* record = Flipsearch::choose_search(n, Flipsearch::TAG_FULL);
    if (record == nullptr)
        return false;
    const auto corr = Flipsearch::choose_correlation(n)->getInstance();
    corr->process_setup(n);
    const auto search = record->getInstance();
    search->setup(corr);
    try
    {
        search->process(corr, [](float) { return false; });
    }
    catch (const std::logic_error&)
    {
        return false;
    }
    return true;
}

TEST_F(EndToEnd, TwentyFourTracksFastWithLowBoostThenFull)
{
    Rig rig(rig_kinds(9, 5, true), 24);
    ASSERT_EQ(rig.n_tracks(), 24u);
    run_and_check(rig, M::ALG_FAST, M::NORM_OFF, M::FILT_LOWBOOST);
    expect_clean_log();
    if (!full_search_runs(24))
        GTEST_SKIP() << "the full search for 24 tracks is not built in this tree";
    run_and_check(rig, M::ALG_FULL, M::NORM_RMS, M::FILT_OFF);
    expect_clean_log();
}

TEST_F(EndToEnd, StopDuringAFullSearchOf28Tracks)
{
    // Registered before any instance exists, removed after the last one: the processing thread
    // never reads the registry while it changes.
    const auto record =
        std::make_unique<Flipsearch::PluginHelper<StoppingSearch, Flipsearch::FlipOpt::Plugin>>(
            "Stopping", "stops itself", Flipsearch::TAG_FULL, 28u, 1000, 28u);
    {
        Rig rig(rig_kinds(10, 8, false), 28);
        ASSERT_EQ(rig.n_tracks(), 28u);
        rig.tracks[3].first->proc->set_polarity(std::size_t(rig.tracks[3].second), -1);
        const auto before = rig.all_polarities();
        M& m = *rig.manager;
        m.set_recording_armed_internal(true);
        rig.play();
        const auto outcome = rig.wait_for_result(0);
        EXPECT_EQ(outcome.end, M::job_end_t::cancelled);
        EXPECT_EQ(outcome.tracks, 28u);
        EXPECT_EQ(StoppingSearch::reports_before_stop.load(), 1);
        EXPECT_EQ(StoppingSearch::reports_after_stop.load(), 1);
        rig.expect_polarities({}, before);
        EXPECT_FALSE(FlipsumManagerProbe::armed(m));
        EXPECT_EQ(log.count("Using flipopt algorithm: Stopping"), 1u);
        EXPECT_EQ(log.count(",Processing cancelled"), 1u);
        EXPECT_EQ(log.count("RMS_raw="), 0u);
        expect_clean_log();
    }
}

// The gather thread held up for 1.5 s in the middle of an offline render: the audio threads wait
// for it, the instances behind a waiting one on its thread are not called, and when it runs again
// every deadline has run out. No stream ends by the watchdog, no unit is lost, and the result is
// that of the same render without the hold-up.
TEST_F(EndToEnd, GatherThreadHeldUpDuringAnOfflineRender)
{
    Rig rig(rig_kinds(3, 3, false), 13);
    ASSERT_EQ(rig.n_tracks(), 9u);
    const auto before = rig.all_polarities();
    run_and_check(rig, M::ALG_FULL, M::NORM_OFF, M::FILT_OFF);
    const auto reference = rig.manager->last_job_outcome();
    const auto applied = rig.all_polarities();

    for (std::size_t i = 0; i < rig.instances.size(); ++i)
        for (std::size_t ch = 0; ch < 2; ++ch)
            rig.instances[i].proc->set_polarity(ch, before[i][ch]);
    GatherHoldUp hold(std::chrono::milliseconds(1500));
    M& m = *rig.manager;
    m.set_recording_armed_internal(true);
    bool asked = false;
    rig.play(
        [&](std::size_t done)
        {
            if (!asked && done >= 2 * M::unit_samples)
            {
                asked = true;
                hold.request();
            }
        });
    const auto outcome = rig.wait_for_result(reference.serial);
    EXPECT_FALSE(hold.pending()) << "the gather thread was not held up";

    EXPECT_EQ(log.count("manager_watchdog_callback"), 0u);
    EXPECT_EQ(log.count("already started"), 0u);
    expect_clean_log();
    ASSERT_EQ(outcome.end, M::job_end_t::done);
    EXPECT_EQ(outcome.tracks, reference.tracks);
    EXPECT_EQ(outcome.flips, reference.flips);
    EXPECT_EQ(outcome.rms_raw, reference.rms_raw);
    EXPECT_EQ(outcome.rms_new, reference.rms_new);
    EXPECT_EQ(outcome.db_raw, reference.db_raw);
    EXPECT_EQ(outcome.db_prev, reference.db_prev);
    EXPECT_EQ(rig.all_polarities(), applied);
}
} // namespace
