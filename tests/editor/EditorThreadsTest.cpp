// The editor among the engine's threads: engine threads that reach an editor never deadlock on the
// manager's mutex, a role restored on another thread switches the view on the GUI thread, a job
// posted for an editor that is gone logs nothing, the send view shown while the transport starts and
// stops misses no playback event, and editors that open and close while the gather and processing
// threads report and the transport starts and stops are never used after they are gone (run under
// ThreadSanitizer and AddressSanitizer by the test script). A watchdog ends the program instead of
// letting it hang.

#include "EditorTestSupport.h"
#include "LogTail.h"

#include "../engine/HandoverTestSupport.h"

#include "../support/Watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

using namespace editor_test;
using namespace std::chrono_literals;

namespace
{
using test_support::Watchdog;

struct EditorThreads : ::testing::Test
{
    static void SetUpTestSuite() { learn_gui_thread(); }
};

// The processing thread disarms the recording after every search while the master's editor is
// open: the editor's echo call into the manager must not find the first mutex held by the caller.
TEST_F(EditorThreads, EngineThreadsReachTheMasterEditorWithoutDeadlock)
{
    Instance master, s1, s2;
    master.proc->set_as_master();
    E& e = master.open();
    const auto mgr = FlipsumManager::get_inst();
    const Watchdog watchdog(30s);
    for (int round = 0; round < 20; ++round)
    {
        mgr->set_recording_armed_internal(true);
        std::atomic<bool> finished{false};
        std::thread engine(
            [&]
            {
                mgr->set_recording_armed_internal(false);
                mgr->update_slave_cnt_internal();
                s1.proc->set_polarity(0, round % 2 == 0 ? -1 : 1);
                finished = true;
            });
        ASSERT_TRUE(pump_until([&] { return finished.load(); }, 10000));
        engine.join();
    }
    ASSERT_TRUE(pump_until([&] { return !A::button(e, "ui_startOpt").getToggleState(); }));
    EXPECT_FALSE(mgr->get_recording_armed_internal());
}

// A host that restores a state on another thread: the role changes at once, the view on the GUI
// thread.
TEST_F(EditorThreads, RoleRestoredOnAnotherThreadSwitchesTheViewOnTheGuiThread)
{
    Instance send;
    E& e = send.open();
    juce::MemoryBlock state;
    send.proc->getStateInformation(state);
    static_cast<std::uint8_t*>(state.getData())[5] = P::ROLE_MASTER;
    std::thread host([&] { send.proc->setStateInformation(state.getData(), int(state.getSize())); });
    host.join();
    EXPECT_EQ(send.proc->get_mode(), P::ROLE_MASTER);
    EXPECT_EQ(e.getWidth(), 610) << "no component was touched on the host's thread";
    ASSERT_TRUE(pump_until([&] { return A::view(e) == E::MODE_MASTER; }));
    EXPECT_EQ(e.getWidth(), 770);
    EXPECT_TRUE(A::button(e, "ui_routing_recv").getToggleState());
}

// A job posted from another thread logs its guard and its line when it runs with its editor, and
// nothing at all when the editor is gone by then. (No engine thread sets a gain.)
TEST_F(EditorThreads, APostedJobLogsOnlyWhenItsEditorIsThere)
{
    Instance send;
    for (const bool gone : {true, false})
    {
        E& e = send.open();
        const test_support::LogTail log(6);
        std::thread([&e, gone] { e.set_ui_gain(gone ? -3.0f : 4.0f); }).join();
        if (gone)
            send.close();
        pump(600); // the executor runs posted jobs every 200 ms
        std::vector<std::string> job;
        for (const auto& r : log.records())
            if (r.level >= 5 && r.function == "void FlipsumAudioProcessorEditor::set_ui_gain(float)")
                job.push_back(r.text.substr(0, r.text.find(' ')));
        if (gone)
        {
            EXPECT_TRUE(job.empty()) << job.size() << " lines, the first " << job.front();
            continue;
        }
        // The posted job, the processor's echo and the knob's own notification: each one whole.
        const char* const lines[] = {"Enter", "set_ui_gain", "Exit"};
        ASSERT_FALSE(job.empty());
        for (std::size_t i = 0; i < job.size(); ++i)
            EXPECT_EQ(job[i], lines[i % 3]) << i;
    }
    EXPECT_EQ(A::gain_text(*send.editor).getText(), "4.0 dB");
}

// The send view shown again and again while an audio thread starts and stops the transport: once
// no playback event is left for the meter timer to deliver, the link is greyed out exactly when the
// last event started a recording, or the transport plays without one. An event that came while the
// view was shown is never taken as seen without being shown.
TEST_F(EditorThreads, ShowingTheSendViewMissesNoPlaybackEvent)
{
    Instance send;
    P& p = *send.proc;
    FakePlayHead head;
    p.setPlayHead(&head);
    p.prepareToPlay(48000.0, 64);
    E& e = send.open();
    const auto mgr = FlipsumManager::get_inst();
    mgr->set_recording_armed_internal(true);
    const Watchdog watchdog(60s);
    std::atomic<bool> stop{false}, pause{false}, paused{false};
    std::thread audio(
        [&]
        {
            juce::AudioBuffer<float> buffer(2, 64);
            juce::MidiBuffer midi;
            buffer.clear();
            std::minstd_rand pick(3);
            for (std::int64_t block = 0; !stop; ++block)
            {
                if (pause)
                {
                    paused = true;
                    while (pause)
                        std::this_thread::yield();
                    paused = false;
                }
                // Plays three blocks in four, at random; the gather thread takes the markers meanwhile.
                head.playing = pick() % 4 != 0;
                head.time = block * 64;
                p.processBlock(buffer, midi);
                std::this_thread::sleep_for(20us);
            }
        });

    int starts = 0, stops = 0, missed = 0;
    const auto until = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < until)
    {
        // Every recording that ends makes a search job, which disarms.
        mgr->set_recording_armed_internal(true);
        A::show_send_view(e);
        pause = true;
        while (!paused)
            std::this_thread::yield();
        const std::uint32_t seen = A::playback_seen(e);
        if (p.playback_event() == seen && seen != 0)
        {
            const bool enabled = A::button(e, "ui_linkLR").isEnabled();
            ++((seen & 1u) != 0 ? starts : stops);
            if ((seen & 1u) != 0 ? enabled : !enabled && !p.was_playing_last_block())
                ++missed;
        }
        pause = false;
        while (paused)
            std::this_thread::yield();
    }
    stop = true;
    audio.join();
    EXPECT_EQ(missed, 0) << "after " << starts << " starts and " << stops << " stops";
    EXPECT_GT(starts, 0);
    EXPECT_GT(stops, 0);
    mgr->set_recording_armed_internal(false);
    send.close();
    p.releaseResources();
}

// Editors open and close on the message thread while an audio thread starts and stops the
// transport (recording armed, so the gather and processing threads make jobs, report their status
// and set polarities) and another engine thread sets polarities and settings.
TEST_F(EditorThreads, EditorsComeAndGoWhileTheEngineReportsAndTheTransportRuns)
{
    std::vector<std::unique_ptr<Instance>> instances;
    for (int channels : {2, 2, 2, 1})
        instances.push_back(std::make_unique<Instance>(channels));
    instances[0]->proc->set_as_master();
    FakePlayHead head;
    for (auto& i : instances)
    {
        i->proc->setPlayHead(&head);
        i->proc->prepareToPlay(48000.0, 512);
    }
    const auto mgr = FlipsumManager::get_inst();
    mgr->set_alg_mode_internal(FlipsumManager::ALG_FAST);
    const Watchdog watchdog(120s);
    std::atomic<bool> stop{false};

    std::thread audio(
        [&]
        {
            juce::AudioBuffer<float> buffer(2, 512);
            juce::MidiBuffer midi;
            std::minstd_rand noise(7);
            for (std::int64_t block = 0; !stop; ++block)
            {
                // Plays for 300 blocks (more than two units), stops for 20.
                head.playing = block % 320 < 300;
                head.time = block * 512;
                for (auto& i : instances)
                {
                    for (int ch = 0; ch < 2; ++ch)
                        for (int s = 0; s < 512; ++s)
                            buffer.setSample(ch, s, float(int(noise() % 2001) - 1000) / 1000.0f);
                    i->proc->processBlock(buffer, midi);
                }
                std::this_thread::sleep_for(100us);
            }
            head.playing = false;
            for (auto& i : instances)
                i->proc->processBlock(buffer, midi);
        });
    std::thread engine(
        [&]
        {
            for (int k = 0; !stop; ++k)
            {
                instances[1 + k % 3]->proc->set_polarity(std::size_t(k % 2), k % 5 < 2 ? -1 : 1);
                mgr->set_recording_armed_internal(k % 7 != 0);
                std::this_thread::sleep_for(2ms);
            }
        });

    std::minstd_rand pick(11);
    const auto until = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < until)
    {
        Instance& i = *instances[pick() % instances.size()];
        if (i.editor != nullptr)
            i.close();
        else
            i.open();
        pump(int(pick() % 20));
    }
    stop = true;
    audio.join();
    engine.join();
    for (auto& i : instances)
        i->close();
    pump(250); // jobs posted for the closed editors find them gone
    EXPECT_GT(mgr->last_job_outcome().serial, 0u) << "the engine finished jobs meanwhile";
    mgr->set_recording_armed_internal(false);
}
} // namespace
