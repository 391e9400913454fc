// The gain knob's slider: alt-click reset, and a label owned elsewhere as its value box (text,
// edits, editability, place, lifetime, look-and-feel changes).

#include "editor/Slider_altClickReset.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace
{
juce::MouseEvent mouse_event(juce::Component& target, juce::ModifierKeys mods)
{
    const juce::Point<float> at(25.0f, 25.0f);
    const juce::Time now = juce::Time::getCurrentTime();
    return juce::MouseEvent(juce::Desktop::getInstance().getMainMouseSource(), at, mods,
                            juce::MouseInputSource::defaultPressure,
                            juce::MouseInputSource::defaultOrientation,
                            juce::MouseInputSource::defaultRotation, juce::MouseInputSource::defaultTiltX,
                            juce::MouseInputSource::defaultTiltY, &target, &target, now, at, now, 1, false);
}

// Records the slider's notifications in order.
struct Recorder : juce::Slider::Listener
{
    std::vector<std::string> events;
    void sliderValueChanged(juce::Slider* s) override
    {
        events.push_back("value " + s->getTextFromValue(s->getValue()).toStdString());
    }
    void sliderDragStarted(juce::Slider*) override { events.push_back("start"); }
    void sliderDragEnded(juce::Slider*) override { events.push_back("end"); }
};

// Counts text-change notifications of a label.
struct LabelCounter : juce::Label::Listener
{
    int changes = 0;
    void labelTextChanged(juce::Label*) override { ++changes; }
};

void setup_gain(Slider_altClickReset& s)
{
    s.setRange(-20.0, 20.0, 0.1);
    s.setDoubleClickReturnValue(true, 0.0);
    s.setBounds(0, 0, 50, 50);
    s.setValue(5.0, juce::dontSendNotification);
}

int label_children(const juce::Component& c)
{
    int n = 0;
    for (auto* child : c.getChildren())
        n += dynamic_cast<juce::Label*>(child) != nullptr ? 1 : 0;
    return n;
}

using Mods = juce::ModifierKeys;
} // namespace

// ---------------------------------------------------------------------------------------------
// Alt-click reset

struct AltClickReset : ::testing::Test
{
    Slider_altClickReset slider{juce::Slider::RotaryHorizontalVerticalDrag, juce::Slider::NoTextBox};
    Recorder recorder;

    AltClickReset()
    {
        setup_gain(slider);
        slider.addListener(&recorder);
    }

    void click(int flags)
    {
        const auto e = mouse_event(slider, Mods(flags));
        slider.mouseDown(e);
        slider.mouseUp(e);
    }
};

TEST_F(AltClickReset, AltAndLeftButtonResetWithDragNotifications)
{
    click(Mods::altModifier | Mods::leftButtonModifier);
    EXPECT_EQ(slider.getValue(), 0.0);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"start", "value 0.0", "end"}));
}

TEST_F(AltClickReset, ResetsAlsoWhenTheSliderHasNoSingleClickModifier)
{
    slider.setDoubleClickReturnValue(true, 0.0, Mods());
    click(Mods::altModifier | Mods::leftButtonModifier);
    EXPECT_EQ(slider.getValue(), 0.0);
}

TEST_F(AltClickReset, OtherCombinationsGoToTheOrdinaryHandling)
{
    slider.setDoubleClickReturnValue(true, 0.0, Mods());
    for (const int flags :
         {int(Mods::leftButtonModifier), Mods::altModifier | Mods::shiftModifier | Mods::leftButtonModifier,
          Mods::altModifier | Mods::ctrlModifier | Mods::leftButtonModifier,
          Mods::altModifier | Mods::rightButtonModifier})
    {
        SCOPED_TRACE(flags);
        click(flags);
        EXPECT_EQ(slider.getValue(), 5.0);
    }
}

TEST_F(AltClickReset, HonoursTheDoubleClickSettings)
{
    slider.setDoubleClickReturnValue(true, 0.0, Mods());
    slider.setEnabled(false);
    click(Mods::altModifier | Mods::leftButtonModifier);
    EXPECT_EQ(slider.getValue(), 5.0) << "disabled";

    slider.setEnabled(true);
    slider.setDoubleClickReturnValue(false, 0.0, Mods());
    click(Mods::altModifier | Mods::leftButtonModifier);
    EXPECT_EQ(slider.getValue(), 5.0) << "double-click return off";

    slider.setDoubleClickReturnValue(true, 30.0, Mods());
    click(Mods::altModifier | Mods::leftButtonModifier);
    EXPECT_EQ(slider.getValue(), 5.0) << "return value outside the range";

    slider.setDoubleClickReturnValue(true, -3.0, Mods());
    click(Mods::altModifier | Mods::leftButtonModifier);
    EXPECT_EQ(slider.getValue(), -3.0);
}

// ---------------------------------------------------------------------------------------------
// External value box

struct ExternalValueBox : ::testing::Test
{
    juce::Component editor;
    Slider_altClickReset slider{juce::Slider::RotaryHorizontalVerticalDrag, juce::Slider::NoTextBox};
    juce::Label label;
    const juce::Rectangle<int> labelBounds{351, 108, 54, 15};

    ExternalValueBox()
    {
        setup_gain(slider);
        editor.setBounds(0, 0, 610, 165);
        editor.addChildComponent(slider);
        editor.addChildComponent(label);
        label.setBounds(labelBounds);
        slider.attachTextBox(&label);
        slider.setTextValueSuffix(" dB");
        slider.setTextBoxIsEditable(false);
    }
};

TEST_F(ExternalValueBox, TextFollowsEveryValueChangeWithoutNotifying)
{
    LabelCounter counter;
    label.addListener(&counter);
    EXPECT_EQ(label.getText(), "5.0 dB");

    slider.setValue(-7.3, juce::dontSendNotification);
    EXPECT_EQ(label.getText(), "-7.3 dB");
    slider.setValue(12.0, juce::sendNotificationAsync);
    EXPECT_EQ(label.getText(), "12.0 dB");
    slider.setValue(25.0, juce::sendNotificationSync);
    EXPECT_EQ(label.getText(), "20.0 dB") << "kept within the range";
    slider.getValueObject() = 4.0;
    EXPECT_EQ(label.getText(), "4.0 dB");
    slider.setRange(-20.0, 20.0, 1.0);
    EXPECT_EQ(label.getText(), "4 dB") << "decimal places follow the interval";
    slider.setNumDecimalPlacesToDisplay(2);
    EXPECT_EQ(label.getText(), "4.00 dB");
    slider.setTextValueSuffix(" dBFS");
    EXPECT_EQ(label.getText(), "4.00 dBFS");

    EXPECT_EQ(counter.changes, 0);
    label.removeListener(&counter);
}

TEST_F(ExternalValueBox, AttachingSetsTheTextAtOnce)
{
    juce::Label other;
    slider.setValue(-1.5, juce::dontSendNotification);
    slider.attachTextBox(&other);
    EXPECT_EQ(other.getText(), "-1.5 dB");
    EXPECT_EQ(slider.getTextBoxPosition(), juce::Slider::NoTextBox);
}

TEST_F(ExternalValueBox, TheSliderNeverMovesShowsOrAdoptsTheBox)
{
    for (const auto style : {juce::Slider::LinearBar, juce::Slider::LinearBarVertical, juce::Slider::Rotary})
    {
        slider.setSliderStyle(style);
        slider.setBounds(297, 92, 50, 50);
        slider.setBounds(10, 10, 300, 40);
        EXPECT_EQ(label.getBounds(), labelBounds) << style;
    }
    slider.setVisible(true);
    EXPECT_EQ(label.getParentComponent(), &editor);
    EXPECT_FALSE(label.isVisible());
    EXPECT_EQ(label_children(slider), 0);
    EXPECT_EQ(slider.getAttachedTextBox(), &label);
}

TEST_F(ExternalValueBox, EditsOfTheBoxSetTheValue)
{
    Recorder recorder;
    slider.addListener(&recorder);
    slider.setTextBoxIsEditable(true);
    ASSERT_TRUE(label.isEditable());

    label.setText("7.2", juce::sendNotificationSync);
    EXPECT_DOUBLE_EQ(slider.getValue(), 7.2);
    EXPECT_EQ(label.getText(), "7.2 dB");
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"start", "value 7.2 dB", "end"}));

    label.setText("-3.04 dB", juce::sendNotificationSync);
    EXPECT_DOUBLE_EQ(slider.getValue(), -3.0);
    EXPECT_EQ(label.getText(), "-3.0 dB") << "snapped to the interval";

    label.setText("-3.0", juce::sendNotificationSync);
    EXPECT_EQ(label.getText(), "-3.0 dB") << "text cleaned up although the value is unchanged";
    slider.removeListener(&recorder);
}

TEST_F(ExternalValueBox, EditabilityFollowsTheSlider)
{
    EXPECT_FALSE(label.isEditable());
    slider.setTextBoxIsEditable(true);
    EXPECT_TRUE(label.isEditable());
    slider.setEnabled(false);
    EXPECT_FALSE(label.isEditable());
    slider.setEnabled(true);
    EXPECT_TRUE(label.isEditable());
    slider.setTextBoxIsEditable(false);
    EXPECT_FALSE(label.isEditable());
}

TEST_F(ExternalValueBox, ALookAndFeelChangeKeepsTheBox)
{
    juce::LookAndFeel_V4 other;
    slider.setLookAndFeel(&other);
    slider.setColour(juce::Slider::thumbColourId, juce::Colours::red);
    slider.sendLookAndFeelChange();

    EXPECT_EQ(slider.getAttachedTextBox(), &label);
    EXPECT_TRUE(slider.isValueBoxNotOwned());
    EXPECT_EQ(label_children(slider), 0);
    slider.setValue(-2.0, juce::dontSendNotification);
    EXPECT_EQ(label.getText(), "-2.0 dB");
    EXPECT_EQ(label.getBounds(), labelBounds);
    slider.setLookAndFeel(nullptr);
}

TEST_F(ExternalValueBox, AnOwnTextBoxPositionLetsTheBoxGo)
{
    slider.setTextBoxStyle(juce::Slider::TextBoxBelow, true, 60, 20);
    EXPECT_EQ(slider.getAttachedTextBox(), nullptr);
    EXPECT_FALSE(slider.isValueBoxNotOwned());
    ASSERT_EQ(label_children(slider), 1) << "the slider made an own box again";

    slider.setValue(9.0, juce::dontSendNotification);
    EXPECT_EQ(label.getText(), "5.0 dB") << "the let-go box no longer follows";
    for (auto* child : slider.getChildren())
        if (auto* own = dynamic_cast<juce::Label*>(child))
            EXPECT_EQ(own->getText(), "9.0 dB");

    label.setText("1.0", juce::sendNotificationSync);
    EXPECT_EQ(slider.getValue(), 9.0) << "nor does the slider follow it";
}

TEST_F(ExternalValueBox, AttachingDestroysAnOwnBox)
{
    Slider_altClickReset own(juce::Slider::LinearHorizontal, juce::Slider::TextBoxBelow);
    ASSERT_EQ(label_children(own), 1);
    const juce::Component::SafePointer<juce::Component> ownBox(own.getChildren().getFirst());
    juce::Label external;
    own.attachTextBox(&external);
    EXPECT_EQ(ownBox.getComponent(), nullptr);
    EXPECT_EQ(label_children(own), 0);
    EXPECT_EQ(own.getTextBoxPosition(), juce::Slider::NoTextBox);
}

TEST_F(ExternalValueBox, ASecondLabelLetsGoOfTheFirstWithoutDestroyingIt)
{
    auto second = std::make_unique<juce::Label>();
    const juce::Component::SafePointer<juce::Label> first(&label);
    slider.attachTextBox(second.get());
    ASSERT_NE(first.getComponent(), nullptr);

    slider.setValue(-4.0, juce::dontSendNotification);
    EXPECT_EQ(second->getText(), "-4.0 dB");
    EXPECT_EQ(label.getText(), "5.0 dB");

    slider.setTextBoxIsEditable(true);
    label.setText("8.0", juce::sendNotificationSync);
    EXPECT_EQ(slider.getValue(), -4.0) << "the first label no longer drives the slider";

    // The owner may destroy its label while the slider lives on.
    second.reset();
    slider.setValue(3.0, juce::dontSendNotification);
    slider.setTextBoxIsEditable(false);
    slider.sendLookAndFeelChange();
    EXPECT_EQ(slider.getAttachedTextBox(), nullptr);
}

TEST(ExternalValueBoxLifetime, TheBoxOutlivesTheSliderAndNeverCallsIntoIt)
{
    juce::Label label;
    LabelCounter counter;
    label.addListener(&counter);
    {
        // The slider lives in storage that is wiped after its destruction, so a call through a
        // listener left behind would crash.
        alignas(Slider_altClickReset) unsigned char storage[sizeof(Slider_altClickReset)];
        auto* const slider =
            new (storage) Slider_altClickReset(juce::Slider::Rotary, juce::Slider::NoTextBox);
        setup_gain(*slider);
        slider->attachTextBox(&label);
        slider->setTextBoxIsEditable(true);
        slider->setTextValueSuffix(" dB");
        EXPECT_EQ(label.getText(), "5.0 dB");
        slider->~Slider_altClickReset();
        std::memset(storage, 0, sizeof storage);

        label.setText("2.5", juce::sendNotificationSync);
    }
    EXPECT_EQ(label.getText(), "2.5");
    EXPECT_EQ(counter.changes, 1);
    label.setText("3.5", juce::sendNotificationSync);
    EXPECT_EQ(counter.changes, 2);
    label.removeListener(&counter);
}
