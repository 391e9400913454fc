#include "editor/Slider_altClickReset.h"

#include "engine/Logger.h"

namespace
{
// The slider's value held in a source that tells its listeners at once, so that the external box
// follows every value change, also one made without notification, before the setter returns.
class ImmediateValueSource : public juce::Value::ValueSource
{
public:
    explicit ImmediateValueSource(const juce::var& initial) : value(initial) {}

    juce::var getValue() const override { return value; }

    void setValue(const juce::var& newValue) override
    {
        if (!newValue.equalsWithSameType(value))
        {
            value = newValue;
            sendChangeMessage(true);
        }
    }

private:
    juce::var value;
};

bool is_alt_left_click(const juce::ModifierKeys& mods)
{
    return mods.getRawFlags() == (juce::ModifierKeys::altModifier | juce::ModifierKeys::leftButtonModifier);
}
} // namespace

Slider_altClickReset::Slider_altClickReset() : Slider_altClickReset(LinearHorizontal, TextBoxLeft) {}

Slider_altClickReset::Slider_altClickReset(SliderStyle style, TextEntryBoxPosition textBoxPosition)
    : juce::Slider(style, textBoxPosition)
{
    juce::Value& current = getValueObject();
    current.referTo(juce::Value(new ImmediateValueSource(current.getValue())));
    current.addListener(&link);
}

Slider_altClickReset::~Slider_altClickReset()
{
    getValueObject().removeListener(&link);
    releaseValueBox();
}

void Slider_altClickReset::mouseDown(const juce::MouseEvent& e)
{
    if (is_alt_left_click(e.mods))
    {
        FSUM_LOG_GUARD(7);
        mouseDoubleClick(e);
        return;
    }
    juce::Slider::mouseDown(e);
}

void Slider_altClickReset::attachTextBox(juce::Label* label)
{
    FSUM_LOG_GUARD(7);
    FSUM_LOG(8) << "Args: this=0x" << logger::hex(this) << ", label=0x" << logger::hex(label);

    // An external box attached before is let go; an own box is destroyed by dropping the text-box
    // position (the look-and-feel hook then keeps no box).
    releaseValueBox();
    if (getTextBoxPosition() != NoTextBox)
        juce::Slider::setTextBoxStyle(NoTextBox, !isTextBoxEditable(), getTextBoxWidth(), getTextBoxHeight());

    valueBox = label;
    valueBoxNotOwned = true;
    if (label == nullptr)
        return;

    label->addListener(&link);
    refreshValueBoxEditability();
    refreshValueBoxText(getValue());
}

void Slider_altClickReset::setTextValueSuffix(const juce::String& suffix)
{
    juce::Slider::setTextValueSuffix(suffix);
    refreshValueBoxText(getValue());
}

void Slider_altClickReset::setNumDecimalPlacesToDisplay(int decimalPlacesToDisplay)
{
    juce::Slider::setNumDecimalPlacesToDisplay(decimalPlacesToDisplay);
    refreshValueBoxText(getValue());
}

void Slider_altClickReset::setRange(double newMinimum, double newMaximum, double newInterval)
{
    juce::Slider::setRange(newMinimum, newMaximum, newInterval);
    refreshValueBoxText(getValue());
}

void Slider_altClickReset::setRange(juce::Range<double> newRange, double newInterval)
{
    juce::Slider::setRange(newRange, newInterval);
    refreshValueBoxText(getValue());
}

void Slider_altClickReset::setNormalisableRange(juce::NormalisableRange<double> newNormalisableRange)
{
    juce::Slider::setNormalisableRange(newNormalisableRange);
    refreshValueBoxText(getValue());
}

void Slider_altClickReset::setTextBoxIsEditable(bool shouldBeEditable)
{
    juce::Slider::setTextBoxIsEditable(shouldBeEditable);
    refreshValueBoxEditability();
}

void Slider_altClickReset::updateText()
{
    juce::Slider::updateText();
    refreshValueBoxText(getValue());
}

void Slider_altClickReset::lookAndFeelChanged()
{
    // With a text-box position of its own the slider makes an own box again: the external box is
    // let go first. With NoTextBox the external box stays attached, untouched.
    if (valueBoxNotOwned && getTextBoxPosition() != NoTextBox)
    {
        releaseValueBox();
        valueBoxNotOwned = false;
    }
    juce::Slider::lookAndFeelChanged();
    refreshValueBoxEditability();
}

void Slider_altClickReset::enablementChanged()
{
    juce::Slider::enablementChanged();
    refreshValueBoxEditability();
}

void Slider_altClickReset::releaseValueBox()
{
    if (auto* const label = valueBox.getComponent())
        label->removeListener(&link);
    valueBox = nullptr;
}

void Slider_altClickReset::refreshValueBoxText(double value)
{
    if (auto* const label = valueBox.getComponent())
    {
        const juce::String text = getTextFromValue(value);
        if (text != label->getText())
            label->setText(text, juce::dontSendNotification);
    }
}

void Slider_altClickReset::refreshValueBoxEditability()
{
    if (auto* const label = valueBox.getComponent())
    {
        const bool shouldBeEditable = isTextBoxEditable() && isEnabled();
        if (label->isEditable() != shouldBeEditable)
            label->setEditable(shouldBeEditable);
    }
}

void Slider_altClickReset::valueBoxEdited()
{
    auto* const label = valueBox.getComponent();
    if (label == nullptr)
        return;
    const double newValue = snapValue(getValueFromText(label->getText()), notDragging);
    if (newValue != getValue())
    {
        const ScopedDragNotification drag(*this);
        setValue(newValue, juce::sendNotificationSync);
    }
    // Cleans up the text also when the value did not change (a text that does not parse).
    refreshValueBoxText(getValue());
}

void Slider_altClickReset::BoxLink::labelTextChanged(juce::Label* label)
{
    if (label == owner.valueBox.getComponent())
        owner.valueBoxEdited();
}

void Slider_altClickReset::BoxLink::valueChanged(juce::Value& value)
{
    owner.refreshValueBoxText(static_cast<double>(value.getValue()));
}
