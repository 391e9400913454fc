// The README's pictures, painted by the real editor in the states a user meets: a session of 24
// sends whose master view is idle, listening, searching and showing a result, then a stereo and a
// mono send of that session as the song plays on. With SIGNFLUX_RENDER_DIR set, each picture is
// written there as a PNG file (scripts/render-docs.sh writes them into docs/); otherwise the test
// only checks that each one paints at its view's size and is not blank.

#include "EditorTestSupport.h"

#include "../engine/HandoverTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <set>
#include <utility>
#include <vector>

using namespace editor_test;

namespace
{
struct ReadmePictures : ::testing::Test
{
    static void SetUpTestSuite() { learn_gui_thread(); }
    void SetUp() override { logger::manager::dynamic_loglevel = 0; }

    // Paints the editor as it looks now; writes the picture when SIGNFLUX_RENDER_DIR is set.
    static void picture(E& e, const char* name, int width, int height)
    {
        const juce::Image image = e.createComponentSnapshot(e.getLocalBounds());
        EXPECT_EQ(image.getWidth(), width) << name;
        EXPECT_EQ(image.getHeight(), height) << name;
        const auto [opaque, colours] = survey(image);
        EXPECT_EQ(opaque, width * height) << name << ": the background does not cover it";
        EXPECT_GT(colours, 16u) << name << " looks blank";
        const char* const dir = std::getenv("SIGNFLUX_RENDER_DIR");
        if (dir == nullptr)
            return;
        const juce::File file = juce::File(dir).getChildFile(name);
        file.deleteFile();
        juce::FileOutputStream out(file);
        ASSERT_TRUE(out.openedOk()) << file.getFullPathName();
        ASSERT_TRUE(juce::PNGImageFormat().writeImageToStream(image, out)) << file.getFullPathName();
    }

    // The image's opaque pixels, and its distinct colours counted up to 64.
    static std::pair<int, std::size_t> survey(const juce::Image& image)
    {
        int opaque = 0;
        std::set<juce::uint32> seen;
        const juce::Image::BitmapData pixels(image, juce::Image::BitmapData::readOnly);
        for (int y = 0; y < image.getHeight(); ++y)
            for (int x = 0; x < image.getWidth(); ++x)
            {
                const juce::Colour c = pixels.getPixelColour(x, y);
                opaque += c.getAlpha() == 255 ? 1 : 0;
                if (seen.size() < 64)
                    seen.insert(c.getARGB());
            }
        return {opaque, seen.size()};
    }

    // Plays one block of a transport that is rolling, whose loudest sample is `peak`, then lets
    // the editor's meter read it.
    static void play(Instance& send, E& e, FakePlayHead& head, float peak)
    {
        juce::AudioBuffer<float> buffer(send.proc->getTotalNumInputChannels(), 512);
        buffer.clear();
        for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
            for (int s = 0; s < 512; ++s)
                buffer.setSample(ch, s, peak * std::sin(0.05f * float(s + ch * 7)));
        juce::MidiBuffer midi;
        head.playing = true;
        send.proc->processBlock(buffer, midi);
        head.time += 512;
        e.timerCallback();
    }
};

TEST_F(ReadmePictures, SessionFromIdleToResultAndItsSends)
{
    // 18 stereo and 6 mono tracks (42 channels to search), one master.
    std::vector<std::unique_ptr<Instance>> sends;
    for (int i = 0; i < 24; ++i)
        sends.push_back(std::make_unique<Instance>(i < 18 ? 2 : 1));
    Instance master;
    master.proc->set_as_master();
    E& m = master.open();
    ASSERT_EQ(A::digits(m), "24");
    picture(m, "master_idle.png", 770, 165);

    // Start pressed, then the host's transport rolls and the recording begins.
    A::button(m, "ui_startOpt").setToggleState(true, juce::sendNotificationSync);
    m.set_ui_status_clear(true);
    ASSERT_EQ(A::status(m), "Listening...");
    ASSERT_EQ(A::led(m, "ui_startOpt_led"), 1);
    picture(m, "master_listening.png", 770, 165);

    // The song has ended: the exhaustive search over 42 channels runs for about two minutes.
    m.set_ui_status_progress(0.453f, 59.0f);
    ASSERT_EQ(A::status(m), "45.3%, 0:59");
    picture(m, "master_progress.png", 770, 165);

    // The result: one stereo send's right channel and two mono sends flipped, the recording disarmed.
    sends[3]->proc->set_polarity(1, -1);
    sends[19]->proc->set_polarity(0, -1);
    sends[22]->proc->set_polarity(0, -1);
    FlipsumManager::get_inst()->set_recording_armed_internal(false);
    m.set_ui_status_done(3, 2.46f, 2.46f);
    ASSERT_EQ(A::status(m), "Done\n(3 flips, +2.5 dB)");
    ASSERT_EQ(A::led(m, "ui_startOpt_led"), 0);
    picture(m, "master_result.png", 770, 165);

    // Two of the sends as the song plays again: the meters follow the tracks' peaks.
    FakePlayHead head;
    const struct
    {
        std::size_t send;
        float gain, peak;
        const char* name;
    } views[] = {{3, -2.5f, 0.45f, "send_stereo.png"}, {19, 0.0f, 0.12f, "send_mono.png"}};
    for (const auto& v : views)
    {
        Instance& send = *sends[v.send];
        send.proc->setPlayHead(&head);
        send.proc->prepareToPlay(48000.0, 512);
        send.proc->set_gain(v.gain);
        E& e = send.open();
        play(send, e, head, v.peak);
        ASSERT_EQ(A::led(e, "ui_signal60"), 1) << v.name;
        ASSERT_EQ(A::led(e, "ui_signal0"), 0) << v.name;
        picture(e, v.name, 610, 165);
        send.close();
        send.proc->releaseResources();
    }
}
} // namespace
