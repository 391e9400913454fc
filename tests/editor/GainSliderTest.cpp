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
using Mods = juce::ModifierKeys;

// Records a slider's notifications in order.
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

void click(Slider_altClickReset& s, int flags)
{
    const juce::Point<float> at(25.0f, 25.0f);
    const juce::Time now = juce::Time::getCurrentTime();
    const juce::MouseEvent e(juce::Desktop::getInstance().getMainMouseSource(), at, Mods(flags),
                             juce::MouseInputSource::defaultPressure,
                             juce::MouseInputSource::defaultOrientation,
                             juce::MouseInputSource::defaultRotation, juce::MouseInputSource::defaultTiltX,
                             juce::MouseInputSource::defaultTiltY, &s, &s, now, at, now, 1, false);
    s.mouseDown(e);
    s.mouseUp(e);
}

int label_children(const juce::Component& c)
{
    int n = 0;
    for (auto* child : c.getChildren())
        n += dynamic_cast<juce::Label*>(child) != nullptr ? 1 : 0;
    return n;
}

constexpr int ALT_LEFT = Mods::altModifier | Mods::leftButtonModifier;
} // namespace

TEST(AltClickReset, AltAndLeftButtonAloneReset)
{
    Slider_altClickReset slider(juce::Slider::RotaryHorizontalVerticalDrag, juce::Slider::NoTextBox);
    setup_gain(slider);
    Recorder recorder;
    slider.addListener(&recorder);
    click(slider, ALT_LEFT);
    EXPECT_EQ(slider.getValue(), 0.0);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"start", "value 0.0", "end"}));

    // Without the framework's own alt-click the reset is still there, and only for alt + left.
    slider.setDoubleClickReturnValue(true, 0.0, Mods());
    for (const int flags : {ALT_LEFT, int(Mods::leftButtonModifier), ALT_LEFT | Mods::shiftModifier,
                            ALT_LEFT | Mods::ctrlModifier, Mods::altModifier | Mods::rightButtonModifier})
    {
        slider.setValue(5.0, juce::dontSendNotification);
        click(slider, flags);
        EXPECT_EQ(slider.getValue(), flags == ALT_LEFT ? 0.0 : 5.0) << flags;
    }

    slider.setValue(5.0, juce::dontSendNotification);
    slider.setEnabled(false);
    click(slider, ALT_LEFT);
    EXPECT_EQ(slider.getValue(), 5.0) << "disabled";
    slider.setEnabled(true);
    slider.setDoubleClickReturnValue(true, 30.0, Mods());
    click(slider, ALT_LEFT);
    EXPECT_EQ(slider.getValue(), 5.0) << "double-click value outside the range";
    slider.removeListener(&recorder);
}

struct ExternalValueBox : ::testing::Test
{
    juce::Component editor;
    Slider_altClickReset slider{juce::Slider::RotaryHorizontalVerticalDrag, juce::Slider::NoTextBox};
    juce::Label label;
    const juce::Rectangle<int> labelBounds{351, 108, 54, 15};

    ExternalValueBox()
    {
        setup_gain(slider);
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
    slider.setTextValueSuffix(" dBFS");
    EXPECT_EQ(label.getText(), "4.00 dBFS");
    EXPECT_EQ(counter.changes, 0);
    label.removeListener(&counter);
}

TEST_F(ExternalValueBox, TheSliderNeverMovesShowsOrAdoptsTheBox)
{
    for (const auto style : {juce::Slider::LinearBar, juce::Slider::LinearBarVertical, juce::Slider::Rotary})
    {
        slider.setSliderStyle(style);
        slider.setBounds(10, 10, 300, 40);
        EXPECT_EQ(label.getBounds(), labelBounds) << style;
    }
    slider.setVisible(true);
    EXPECT_EQ(label.getParentComponent(), &editor);
    EXPECT_FALSE(label.isVisible());
    EXPECT_EQ(label_children(slider), 0);
    EXPECT_EQ(slider.getTextBoxPosition(), juce::Slider::NoTextBox);
}

TEST_F(ExternalValueBox, EditsAndEditability)
{
    EXPECT_FALSE(label.isEditable());
    slider.setTextBoxIsEditable(true);
    EXPECT_TRUE(label.isEditable());
    slider.setEnabled(false);
    EXPECT_FALSE(label.isEditable());
    slider.setEnabled(true);
    EXPECT_TRUE(label.isEditable());

    Recorder recorder;
    slider.addListener(&recorder);
    label.setText("7.2", juce::sendNotificationSync);
    EXPECT_DOUBLE_EQ(slider.getValue(), 7.2);
    EXPECT_EQ(label.getText(), "7.2 dB");
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"start", "value 7.2 dB", "end"}));
    label.setText("-3.04 dB", juce::sendNotificationSync);
    EXPECT_EQ(label.getText(), "-3.0 dB") << "snapped to the interval";
    label.setText("-3.0", juce::sendNotificationSync);
    EXPECT_EQ(label.getText(), "-3.0 dB") << "cleaned up although the value is unchanged";
    slider.removeListener(&recorder);
}

TEST_F(ExternalValueBox, ALookAndFeelChangeKeepsTheBoxAnOwnTextBoxPositionLetsItGo)
{
    juce::LookAndFeel_V4 other;
    slider.setLookAndFeel(&other);
    slider.setColour(juce::Slider::thumbColourId, juce::Colours::red);
    EXPECT_EQ(slider.getAttachedTextBox(), &label);
    EXPECT_EQ(label_children(slider), 0);
    slider.setValue(-2.0, juce::dontSendNotification);
    EXPECT_EQ(label.getText(), "-2.0 dB");
    slider.setLookAndFeel(nullptr);

    slider.setTextBoxStyle(juce::Slider::TextBoxBelow, false, 60, 20);
    EXPECT_EQ(slider.getAttachedTextBox(), nullptr);
    EXPECT_FALSE(slider.isValueBoxNotOwned());
    ASSERT_EQ(label_children(slider), 1) << "an own box again";
    EXPECT_EQ(dynamic_cast<juce::Label*>(slider.getChildComponent(0))->getText(), "-2.0 dB");
    slider.setValue(9.0, juce::dontSendNotification);
    EXPECT_EQ(label.getText(), "-2.0 dB") << "the let-go box no longer follows";
    label.setText("1.0", juce::sendNotificationSync);
    EXPECT_EQ(slider.getValue(), 9.0) << "nor does the slider follow it";
}

TEST_F(ExternalValueBox, AttachingDestroysAnOwnBoxAndLetsGoOfAnEarlierLabel)
{
    Slider_altClickReset own(juce::Slider::LinearHorizontal, juce::Slider::TextBoxBelow);
    const juce::Component::SafePointer<juce::Component> ownBox(own.getChildComponent(0));
    ASSERT_NE(dynamic_cast<juce::Label*>(ownBox.getComponent()), nullptr);
    juce::Label external;
    own.attachTextBox(&external);
    EXPECT_EQ(ownBox.getComponent(), nullptr);
    EXPECT_EQ(own.getTextBoxPosition(), juce::Slider::NoTextBox);

    auto second = std::make_unique<juce::Label>();
    slider.attachTextBox(second.get());
    slider.setValue(-4.0, juce::dontSendNotification);
    EXPECT_EQ(second->getText(), "-4.0 dB");
    EXPECT_EQ(label.getText(), "5.0 dB") << "the first label is let go, alive, and no longer follows";
    slider.setTextBoxIsEditable(true);
    label.setText("8.0", juce::sendNotificationSync);
    EXPECT_EQ(slider.getValue(), -4.0) << "nor does it drive the slider";

    // The owner may destroy its label while the slider lives on.
    second.reset();
    slider.setValue(3.0, juce::dontSendNotification);
    slider.sendLookAndFeelChange();
    EXPECT_EQ(slider.getAttachedTextBox(), nullptr);
}

TEST(ExternalValueBoxLifetime, TheBoxOutlivesTheSliderAndNeverCallsIntoIt)
{
    juce::Label label;
    LabelCounter counter;
    label.addListener(&counter);
    {
        // Storage wiped after the slider's destruction: a listener left behind would crash.
        alignas(Slider_altClickReset) unsigned char storage[sizeof(Slider_altClickReset)];
        auto* const slider =
            new (storage) Slider_altClickReset(juce::Slider::Rotary, juce::Slider::NoTextBox);
        setup_gain(*slider);
        slider->attachTextBox(&label);
        slider->setTextBoxIsEditable(true);
        EXPECT_EQ(label.getText(), "5.0");
        slider->~Slider_altClickReset();
        std::memset(storage, 0, sizeof storage);
        label.setText("2.5", juce::sendNotificationSync);
    }
    EXPECT_EQ(label.getText(), "2.5");
    EXPECT_EQ(counter.changes, 1);
    label.removeListener(&counter);
}
