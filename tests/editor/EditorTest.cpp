// The editor as a user meets it: the view each role opens with, switching views and roles, the
// master and send controls with their model both ways, the status line, the send counter, the
// level meter, the knob and the about box.

#include "EditorTestSupport.h"
#include "LogTail.h"

#include "../engine/HandoverTestSupport.h"
#include "../support/StateNotices.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

using namespace editor_test;

namespace
{
struct Editors : ::testing::Test
{
    static void SetUpTestSuite() { learn_gui_thread(); }
    void SetUp() override { logger::manager::dynamic_loglevel = 0; }
};

TEST(StatusLine, TextsOfResultsAndProgress)
{
    const float none = std::numeric_limits<float>::max();
    const struct
    {
        unsigned flips;
        float db;
        bool boost;
        const char* text;
    } done[] = {
        {3, 2.46f, false, "Done\n(3 flips, +2.5 dB)"},
        {1, 2.46f, true, "Done\n(1 flip)"},
        {0, 7.0f, false, "Done\n(0 flips)"},
        {2, 150.0f, false, "Done\n(2 flips, +Inf dB)"},
        {2, -150.0f, false, "Done\n(2 flips, Inf dB)"},
        {1, -1.25f, false, "Done\n(1 flip, -1.3 dB)"},
        {4, none, false, "Done\n(4 flips, +Inf dB)"},
    };
    for (const auto& c : done)
        EXPECT_EQ(E::status_text_done(c.flips, c.db, c.boost), c.text) << c.flips << " " << c.db;

    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct
    {
        float prg, eta;
        const char* text;
    } progress[] = {
        {0.4527f, 125.4f, "45.3%, 2:05"}, {0.1f, 7300.0f, "10.0%, >2hrs"},  {1.2f, -1.0f, "100.0%"},
        {0.5f, 3599.7f, "50.0%, 60:00"},  {0.5f, 3600.0f, "50.0%, >1hr"},   {0.5f, 7199.0f, "50.0%, >1hr"},
        {0.5f, 7200.0f, "50.0%, >2hrs"},  {0.5f, 4.0e6f, "50.0%, >999hrs"}, {-0.3f, 9.6f, "0.0%, 0:10"},
        {nan, nan, "0.0%, >999hrs"},      {0.0f, 0.0f, "0.0%, 0:00"},
    };
    for (const auto& c : progress)
        EXPECT_EQ(E::status_text_progress(c.prg, c.eta), c.text) << c.prg << " " << c.eta;
}

TEST_F(Editors, OpenWithTheViewOfTheRoleAndSwitchBothWays)
{
    Instance master, send, off, mono(1);
    master.proc->set_as_master();
    off.proc->set_not_master(false);
    struct
    {
        Instance& instance;
        E::view_mode_t view;
        int width;
        const char* on;
        std::uint32_t role;
    } cases[] = {{master, E::MODE_MASTER, 770, "ui_routing_recv", P::ROLE_MASTER},
                 {send, E::MODE_SEND, 610, "ui_routing_send", P::ROLE_SEND},
                 {off, E::MODE_OFF, 610, "ui_routing_off", P::ROLE_OFF},
                 {mono, E::MODE_SEND, 610, "ui_routing_send", P::ROLE_SEND}};
    for (auto& c : cases)
    {
        E& e = c.instance.open();
        EXPECT_EQ(A::view(e), c.view);
        EXPECT_EQ(e.getWidth(), c.width);
        EXPECT_EQ(e.getHeight(), 165);
        EXPECT_TRUE(A::button(e, c.on).getToggleState());
        EXPECT_EQ(c.instance.proc->get_mode(), c.role) << "opening never changes the role";
    }

    // Mono sends show only the left channel's polarity.
    for (auto* name : {"ui_polarityR", "ui_linkLR"})
    {
        EXPECT_TRUE(A::button(*send.editor, name).isVisible());
        EXPECT_FALSE(A::button(*mono.editor, name).isVisible());
    }
    EXPECT_EQ(A::led(*mono.editor, "ui_polarityL_led"), 0);

    // The view already shown: logged, nothing else, not even the processor.
    {
        test_support::LogTail log(4);
        send.editor->set_mode(E::MODE_SEND);
        EXPECT_EQ(log.texts(3, "Enter").size(), 1u);
        EXPECT_EQ(log.texts(4, "Args").size(), 1u);
    }

    // Send to off: the view is read from the processor again and the role follows.
    send.proc->store_polarity(0, -1);
    A::button(*send.editor, "ui_routing_off").setToggleState(true, juce::sendNotificationSync);
    EXPECT_EQ(send.proc->get_mode(), P::ROLE_OFF);
    EXPECT_TRUE(A::button(*send.editor, "ui_polarityL").getToggleState());
    EXPECT_EQ(A::led(*send.editor, "ui_polarityL_led"), 1);
    EXPECT_TRUE(send.editor->isTimerRunning());

    // A role set by the engine switches the open view: the no-send button turns every send off.
    A::button(*master.editor, "ui_noSend").triggerClick();
    ASSERT_TRUE(pump_until([&] { return mono.proc->get_mode() == P::ROLE_OFF; }));
    EXPECT_TRUE(A::button(*mono.editor, "ui_routing_off").getToggleState());
    EXPECT_FALSE(A::button(*master.editor, "ui_noSend").getToggleState()) << "a push button keeps no state";

    // Another instance claims the master role: the old master becomes off, its view the send view.
    A::button(*send.editor, "ui_routing_recv").setToggleState(true, juce::sendNotificationSync);
    EXPECT_EQ(send.proc->get_mode(), P::ROLE_MASTER);
    EXPECT_EQ(master.proc->get_mode(), P::ROLE_OFF);
    EXPECT_EQ(A::view(*master.editor), E::MODE_OFF);
    EXPECT_EQ(send.editor->getWidth(), 770);
}

// A host may open a second editor before it deletes the first: the engine then reaches the second.
TEST_F(Editors, DeletingAnEditorForgetsOnlyItself)
{
    Instance send;
    send.open();
    std::unique_ptr<E> second(dynamic_cast<E*>(send.proc->createEditor()));
    send.close();
    EXPECT_TRUE(send.proc->has_open_editor());
    send.proc->set_polarity(0, -1);
    EXPECT_TRUE(A::button(*second, "ui_polarityL").getToggleState());
    second.reset();
    EXPECT_FALSE(send.proc->has_open_editor());
}

TEST_F(Editors, MasterButtonIsUsableOnlyWhileNoInstanceIsMaster)
{
    Instance a, b;
    a.open();
    b.open();
    const auto recv = [](Instance& i) { return A::button(*i.editor, "ui_routing_recv").isEnabled(); };
    EXPECT_TRUE(recv(a));
    b.proc->set_as_master();
    ASSERT_TRUE(pump_until([&] { return !recv(a); }));
    EXPECT_TRUE(recv(b)) << "the master's own button never greys out";
    b.close();
    b.proc.reset(); // removing the master frees the role
    ASSERT_TRUE(pump_until([&] { return recv(a); }));
}

TEST_F(Editors, SendCounterShowsTwoDigitsAndBelowTwoSendsDisarms)
{
    Instance master, s1, s2;
    master.proc->set_as_master();
    E& e = master.open();
    EXPECT_EQ(A::digits(e), "02");
    for (const auto& [count, shown] :
         std::vector<std::pair<int, std::string>>{{0, "00"}, {7, "07"}, {150, "99"}})
    {
        e.set_ui_sendCnt(count);
        EXPECT_EQ(A::digits(e), shown);
    }

    // Arm: the start toggle's LED lights and a recording that starts shows "Listening...".
    e.set_ui_sendCnt(2);
    A::button(e, "ui_startOpt").setToggleState(true, juce::sendNotificationSync);
    EXPECT_TRUE(FlipsumManager::get_inst()->get_recording_armed_internal());
    EXPECT_EQ(A::led(e, "ui_startOpt_led"), 1);
    e.set_ui_status_clear(true);
    EXPECT_EQ(A::status(e), "Listening...");

    // One send left: disarmed, dark, cleared, and the start toggle greyed out.
    s2.proc.reset();
    EXPECT_EQ(A::digits(e), "01");
    EXPECT_FALSE(A::button(e, "ui_startOpt").getToggleState());
    EXPECT_FALSE(A::button(e, "ui_startOpt").isEnabled());
    EXPECT_FALSE(FlipsumManager::get_inst()->get_recording_armed_internal());
    EXPECT_EQ(A::led(e, "ui_startOpt_led"), 0);
    EXPECT_EQ(A::status(e), "");
}

TEST_F(Editors, MasterControlsAndTheirSettingsFollowEachOther)
{
    Instance master;
    master.proc->set_as_master();
    E& e = master.open();
    const auto mgr = FlipsumManager::get_inst();

    // Controls set the manager ...
    A::button(e, "ui_algToggle").setToggleState(true, juce::sendNotificationSync);
    A::button(e, "ui_filter").setToggleState(true, juce::sendNotificationSync);
    A::button(e, "ui_bypassAll").setToggleState(true, juce::sendNotificationSync);
    EXPECT_EQ(mgr->get_alg_mode_internal(), FlipsumManager::ALG_FAST);
    EXPECT_EQ(mgr->get_filter_mode_internal(), FlipsumManager::FILT_LOWBOOST);
    EXPECT_TRUE(mgr->get_bypass_all_internal());

    // ... and the manager's setters set the controls.
    mgr->set_alg_mode_internal(FlipsumManager::ALG_FULL);
    mgr->set_filter_mode_internal(FlipsumManager::FILT_OFF);
    mgr->set_bypass_all_internal(false);
    EXPECT_FALSE(A::button(e, "ui_algToggle").getToggleState());
    EXPECT_FALSE(A::button(e, "ui_filter").getToggleState());
    EXPECT_FALSE(A::button(e, "ui_bypassAll").getToggleState());

    // Progress shows the stop button in the start button's place; a result puts it back.
    e.set_ui_status_progress(0.4527f, 125.4f);
    EXPECT_EQ(A::status(e), "45.3%, 2:05");
    EXPECT_TRUE(A::button(e, "ui_stopOpt").isVisible());
    EXPECT_FALSE(A::button(e, "ui_startOpt").isVisible());
    EXPECT_EQ(A::button(e, "ui_stopOpt").getBounds(), A::button(e, "ui_startOpt").getBounds());
    e.set_ui_status_done(3, 2.46f, 1.0f);
    EXPECT_EQ(A::status(e), "Done\n(3 flips, +2.5 dB)");
    EXPECT_FALSE(A::button(e, "ui_stopOpt").isVisible());
    EXPECT_TRUE(A::button(e, "ui_startOpt").isVisible());
}

TEST_F(Editors, PolarityAndLinkFollowTheProcessorBothWays)
{
    Instance send;
    E& e = send.open();
    P& p = *send.proc;

    // The engine sets a polarity: toggle and LED follow.
    p.set_polarity(0, -1);
    EXPECT_TRUE(A::button(e, "ui_polarityL").getToggleState());
    EXPECT_EQ(A::led(e, "ui_polarityL_led"), 1);

    // Linking copies the left polarity to the right, in the widget and the processor.
    A::button(e, "ui_linkLR").setToggleState(true, juce::sendNotificationSync);
    EXPECT_TRUE(p.get_force_record_mono());
    EXPECT_TRUE(A::button(e, "ui_polarityR").getToggleState());
    EXPECT_EQ(p.get_polarity(1), -1);
    EXPECT_EQ(A::led(e, "ui_polarityR_led"), 1);

    // While linked, flipping either channel flips the other.
    A::button(e, "ui_polarityR").setToggleState(false, juce::sendNotificationSync);
    EXPECT_EQ(p.get_polarity(0), 1);
    EXPECT_EQ(p.get_polarity(1), 1);
    EXPECT_EQ(A::led(e, "ui_polarityL_led"), 0);

    // Unlinked from the engine side: the channels go their own ways again.
    p.set_force_record_mono(false);
    EXPECT_FALSE(A::button(e, "ui_linkLR").getToggleState());
    A::button(e, "ui_polarityL").setToggleState(true, juce::sendNotificationSync);
    EXPECT_EQ(p.get_polarity(0), -1);
    EXPECT_EQ(p.get_polarity(1), 1);
}

// A state restored while the master view shows leaves the send view's toggles behind; switching to
// the send view shows what was restored and changes none of it (the link is not applied then).
TEST_F(Editors, SwitchingToTheSendViewKeepsTheStateRestoredMeanwhile)
{
    for (const bool link : {false, true})
        for (const int left : {-1, 1})
            for (const bool by_toggle : {false, true})
            {
                SCOPED_TRACE(testing::Message()
                             << "link " << link << ", left " << left << ", toggle " << by_toggle);
                Instance send;
                P& p = *send.proc;
                E& e = send.open();
                // The send view's toggles hold the opposite of what is restored.
                p.set_force_record_mono(!link);
                p.set_polarity(0, -left);
                p.set_polarity(1, -left);
                p.set_as_master();
                ASSERT_EQ(A::view(e), E::MODE_MASTER);

                juce::MemoryBlock state;
                p.getStateInformation(state);
                auto* const blob = static_cast<std::uint8_t*>(state.getData());
                blob[6] = left == -1 ? 0 : 1;
                blob[7] = left == -1 ? 1 : 0;
                blob[10] = link ? 1 : 0;
                p.setStateInformation(state.getData(), int(state.getSize()));
                ASSERT_EQ(p.get_polarity(0), left);

                if (by_toggle)
                    A::button(e, "ui_routing_send").setToggleState(true, juce::sendNotificationSync);
                else
                    e.set_mode(E::MODE_SEND);
                ASSERT_EQ(A::view(e), E::MODE_SEND);
                EXPECT_EQ(p.get_mode(), P::ROLE_SEND);
                EXPECT_EQ(p.get_polarity(0), left);
                EXPECT_EQ(p.get_polarity(1), -left);
                EXPECT_EQ(p.get_force_record_mono(), link);
                EXPECT_EQ(A::button(e, "ui_polarityL").getToggleState(), left == -1);
                EXPECT_EQ(A::button(e, "ui_polarityR").getToggleState(), left == 1);
                EXPECT_EQ(A::button(e, "ui_linkLR").getToggleState(), link);
                EXPECT_EQ(A::led(e, "ui_polarityL_led"), int(left == -1));
                EXPECT_EQ(A::led(e, "ui_polarityR_led"), int(left == 1));
            }
}

TEST_F(Editors, KnobKeepsItsRangeAndStepsAndShowsItsValue)
{
    Instance send;
    E& e = send.open();
    Slider_altClickReset& knob = A::gain(e);
    EXPECT_EQ(A::gain_text(e).getText(), "0.0 dB");
    EXPECT_EQ(A::gain_text(e).getFont().getHeight(), 12.0f) << "0.8 x the 15-pixel box";
    EXPECT_EQ(A::gain_text(e).getJustificationType(), juce::Justification::centredRight);

    for (const auto& [set, shown, text] : std::vector<std::tuple<double, double, const char*>>{
             {3.14159, 3.1, "3.1 dB"}, {-25.0, -20.0, "-20.0 dB"}, {99.0, 20.0, "20.0 dB"}})
    {
        knob.setValue(set, juce::sendNotificationSync);
        EXPECT_NEAR(knob.getValue(), shown, 1e-9);
        EXPECT_EQ(A::gain_text(e).getText(), text);
        EXPECT_NEAR(send.proc->get_gain(), shown, 1e-5) << "the knob sets the processor";
    }
    EXPECT_TRUE(knob.isDoubleClickReturnEnabled());
    EXPECT_EQ(knob.getDoubleClickReturnValue(), 0.0);

    send.proc->set_gain(-6.5f);
    EXPECT_EQ(A::gain_text(e).getText(), "-6.5 dB") << "the processor sets the knob";
}

// A restored gain between the float values of the knob's steps (code 203 is not the float the knob
// snaps 0.3 dB to): opening an editor, and a restore while one is open, show it and change nothing.
TEST_F(Editors, KnobShowsARestoredGainWithoutChangingItOrTellingTheHost)
{
    Instance send;
    const test_support::StateNotices heard(*send.proc);
    juce::MemoryBlock state;
    send.proc->getStateInformation(state);
    const auto restore = [&](std::uint8_t code)
    {
        static_cast<std::uint8_t*>(state.getData())[8] = code;
        send.proc->setStateInformation(state.getData(), int(state.getSize()));
    };
    restore(203);
    E& e = send.open();
    pump(450); // two ticks of the processor's timer
    EXPECT_EQ(send.proc->get_gain(), 203 * 0.1f - 20.0f);
    EXPECT_EQ(A::gain_text(e).getText(), "0.3 dB");
    restore(207);
    pump(450);
    EXPECT_EQ(send.proc->get_gain(), 207 * 0.1f - 20.0f);
    EXPECT_EQ(A::gain_text(e).getText(), "0.7 dB");
    EXPECT_EQ(heard.count(), 0);
}

TEST_F(Editors, MeterLightsTheLedsAtOrBelowThePeakAndLinkGreysOutWhileRecording)
{
    Instance send;
    P& p = *send.proc;
    FakePlayHead head;
    p.setPlayHead(&head);
    p.prepareToPlay(48000.0, 512);
    E& e = send.open();
    juce::AudioBuffer<float> buffer(2, 512);
    juce::MidiBuffer midi;
    const auto play = [&](float amplitude, bool playing)
    {
        head.playing = playing;
        buffer.clear();
        buffer.setSample(1, 100, amplitude);
        p.processBlock(buffer, midi);
        head.time += 512;
    };
    const auto lit = [&]
    {
        std::string out;
        for (auto* led : {"ui_signal60", "ui_signal32", "ui_signal22", "ui_signal16", "ui_signal10",
                          "ui_signal6", "ui_signal3", "ui_signal0"})
            out += char('0' + A::led(e, led));
        return out;
    };
    // Peaks of 0, -3.01, -6.02, -9.99, -10.01, -59.2 and -80 dB.
    const std::pair<float, const char*> peaks[] = {
        {1.0f, "11111111"},   {0.7071f, "11111100"}, {0.5f, "11111000"},   {0.3165f, "11111000"},
        {0.316f, "11110000"}, {0.0011f, "10000000"}, {1.0e-4f, "00000000"}};
    for (const auto& [amplitude, shown] : peaks)
    {
        play(amplitude, true);
        e.timerCallback();
        EXPECT_EQ(lit(), shown) << amplitude;
    }

    // A stereo send that starts recording greys out the link until the transport stops.
    FlipsumManager::get_inst()->set_recording_armed_internal(true);
    play(0.1f, false);
    play(0.1f, true);
    ASSERT_TRUE(pump_until([&] { return !A::button(e, "ui_linkLR").isEnabled(); }));
    play(0.1f, false);
    ASSERT_TRUE(pump_until([&] { return A::button(e, "ui_linkLR").isEnabled(); }));
    FlipsumManager::get_inst()->set_recording_armed_internal(false);
    send.close();
    p.releaseResources();
}

TEST(AboutBox, GeometryWithAndWithoutTheLogoAndItsText)
{
    using AA = AboutComponentTestAccess;
    AboutComponent with(about_text(true, true, false, false, false));
    EXPECT_EQ(AA::link(with).getBounds(), juce::Rectangle<int>(140, 10, AA::link(with).getWidth(), 14));
    EXPECT_EQ(AA::text(with).getBounds(), juce::Rectangle<int>(10, 34, 280, 50));
    EXPECT_EQ(AA::ok(with).getBounds(), juce::Rectangle<int>(63, 94, 75, 25));
    EXPECT_EQ(with.getBounds(), juce::Rectangle<int>(0, 0, 300, 129));
    ASSERT_NE(AA::logo(with), nullptr);
    EXPECT_EQ(AA::logo(with)->getBoundsInParent(), juce::Rectangle<int>(10, 10, 125, 14));

    AboutComponent without("text", juce::Image());
    EXPECT_EQ(AA::logo(without), nullptr);
    EXPECT_EQ(AA::link(without).getBounds().getCentreX(), 150);
    EXPECT_EQ(AA::link(without).getY(), 10);
    EXPECT_EQ(AA::text(without).getY(), AA::link(without).getBottom() + 10);

    const juce::String text = about_text(true, true, false, false, false);
    EXPECT_TRUE(text.startsWith("Tonewharf Signflux (AU)\n"));
    EXPECT_TRUE(
        juce::String(about_text(false, false, false, false, false)).startsWith("Tonewharf Signflux\n"));
    EXPECT_TRUE(
        juce::String(about_text(false, false, true, false, true)).startsWith("Tonewharf Signflux (VST3)\n"));
    EXPECT_TRUE(text.fromLastOccurrenceOf("\n", false, false).startsWith("Version 1.0.2 ("));
}

// The label draws its text line by line, wraps a line too wide for it and centres the lines in
// its text area, clipping whatever is taller than the area at the top and the bottom. Checked at
// the label's own font and at each of the framework's default sans-serif faces that is installed
// (a user's machine may pick another of them), for every format's first line.
TEST(AboutBox, EveryLineOfTheTextFitsTheLabel)
{
    AboutComponent box(about_text(false, false, false, false, false));
    juce::Label& label = AboutComponentTestAccess::text(box);
    juce::LookAndFeel& look = label.getLookAndFeel();
    const juce::Font label_font = look.getLabelFont(label);
    const juce::Rectangle<float> area =
        look.getLabelBorderSize(label).subtractedFrom(label.getLocalBounds()).toFloat();

    std::vector<juce::Font> fonts{label_font};
    for (const char* face : {"Verdana", "Bitstream Vera Sans", "Liberation Sans", "DejaVu Sans"})
        if (juce::Font::findAllTypefaceNames().contains(face))
            fonts.emplace_back(face, label_font.getHeight(), juce::Font::plain);

    for (int flags = 0; flags < 32; ++flags)
    {
        const juce::String text = about_text(flags & 1, flags & 2, flags & 4, flags & 8, flags & 16);
        const juce::StringArray lines = juce::StringArray::fromLines(text);
        ASSERT_EQ(lines.size(), 3) << text;
        for (const juce::Font& font : fonts)
        {
            SCOPED_TRACE(font.getTypefaceName() + " " + juce::String(font.getHeight()));
            for (const juce::String& line : lines)
                EXPECT_LT(font.getStringWidthFloat(line), area.getWidth()) << line;
            EXPECT_LE(float(lines.size()) * font.getHeight(), area.getHeight());

            // What the label paints: every glyph of every line inside the text area.
            juce::GlyphArrangement painted;
            painted.addFittedText(font, text, area.getX(), area.getY(), area.getWidth(), area.getHeight(),
                                  label.getJustificationType(),
                                  juce::jmax(1, int(area.getHeight() / font.getHeight())),
                                  label.getMinimumHorizontalScale());
            std::set<float> baselines;
            for (int g = 0; g < painted.getNumGlyphs(); ++g)
                baselines.insert(painted.getGlyph(g).getBaselineY());
            EXPECT_EQ(baselines.size(), 3u) << text;
            EXPECT_TRUE(area.contains(painted.getBoundingBox(0, -1, false))) << text;
        }
    }
}

TEST(AboutBox, OpensWithoutBlockingOnTopAndOkClosesIt)
{
    const auto about_window = []() -> juce::DialogWindow*
    {
        for (int i = 0; i < juce::TopLevelWindow::getNumTopLevelWindows(); ++i)
            if (auto* w = dynamic_cast<juce::DialogWindow*>(juce::TopLevelWindow::getTopLevelWindow(i)))
                if (w->getName() == "About Signflux")
                    return w;
        return nullptr;
    };
    show_about_dialog(false, false, true, false, false);
    juce::DialogWindow* const window = about_window();
    ASSERT_NE(window, nullptr) << "launched before show_about_dialog returns";
    EXPECT_FALSE(window->isResizable());
    auto* const content = dynamic_cast<AboutComponent*>(window->getContentComponent());
    ASSERT_NE(content, nullptr);
    EXPECT_TRUE(pump_until([&] { return window->isAlwaysOnTop(); }, 2000));
    dynamic_cast<juce::Button&>(AboutComponentTestAccess::ok(*content)).triggerClick();
    EXPECT_TRUE(pump_until([&] { return about_window() == nullptr; }, 2000));
}

TEST(DawCompatibility, WarnsOnceForAnAudioUnitInStudioOne)
{
    using W = juce::AudioProcessor;
    int asked = 0;
    const auto studio_one = [&] { return ++asked, true; };
    A::reset_daw_check();
    EXPECT_FALSE(E::check_daw_compatibility(W::wrapperType_VST3, studio_one)) << "not an AudioUnit";
    EXPECT_FALSE(E::check_daw_compatibility(W::wrapperType_AudioUnit, studio_one)) << "only the first editor";
    EXPECT_EQ(asked, 0);
    A::reset_daw_check();
    EXPECT_FALSE(E::check_daw_compatibility(W::wrapperType_AudioUnit, [] { return false; }));
    A::reset_daw_check();
    EXPECT_TRUE(E::check_daw_compatibility(W::wrapperType_AudioUnit, studio_one));
    EXPECT_FALSE(E::check_daw_compatibility(W::wrapperType_AudioUnit, studio_one));
    EXPECT_EQ(asked, 1);
    for (int i = 0; i < juce::TopLevelWindow::getNumTopLevelWindows(); ++i)
        if (auto* box = dynamic_cast<juce::AlertWindow*>(juce::TopLevelWindow::getTopLevelWindow(i)))
        {
            EXPECT_EQ(box->getName(), "Warning");
            box->exitModalState(0);
        }
    pump(50);
}
} // namespace
