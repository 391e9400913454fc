#pragma once

// The gain knob's slider: an alt-click (alt and the left button, nothing else) returns it to its
// double-click value, and a label owned by someone else can serve as its value box
// (attachTextBox). Message thread only, like every component.
//
// The external value box: the slider sets the label's text from its value (also for values set by
// code, with the suffix), follows the label's edits where the label is editable and makes the
// label's editability follow its own text-box editability; it never moves, resizes, shows, hides
// or owns the label. The label may be destroyed before or after the slider; the slider lets go of
// it in its destructor, so the label never calls back into a destroyed slider. A look-and-feel
// change keeps the label while the text-box position is NoTextBox; a change to any other position
// (setTextBoxStyle) lets the label go and the slider makes an own box again.
//
// The settings that change the value text without changing the value (suffix, decimal places,
// range) and the text-box editability are not virtual in juce::Slider: this class hides them with
// versions that also update the external box, so call them on this class, not through a
// juce::Slider reference.

#include <juce_gui_basics/juce_gui_basics.h>

class Slider_altClickReset : public juce::Slider
{
public:
    Slider_altClickReset();
    Slider_altClickReset(SliderStyle style, TextEntryBoxPosition textBoxPosition);
    ~Slider_altClickReset() override;

    void mouseDown(const juce::MouseEvent& e) override;

    // Makes the label (owned by the caller, may be null) the slider's value box; an own box is
    // destroyed and a label attached before is let go without being destroyed.
    void attachTextBox(juce::Label* label);

    // The attached external box, or null (none attached, let go, or destroyed by its owner).
    juce::Label* getAttachedTextBox() const noexcept { return valueBox.getComponent(); }
    // True while an external box is the value box.
    bool isValueBoxNotOwned() const noexcept { return valueBoxNotOwned; }

    void setTextValueSuffix(const juce::String& suffix);
    void setNumDecimalPlacesToDisplay(int decimalPlacesToDisplay);
    void setRange(double newMinimum, double newMaximum, double newInterval = 0);
    void setRange(juce::Range<double> newRange, double newInterval);
    void setNormalisableRange(juce::NormalisableRange<double> newNormalisableRange);
    void setTextBoxIsEditable(bool shouldBeEditable);
    void updateText();

    void lookAndFeelChanged() override;
    void enablementChanged() override;

private:
    // Listens to the external label's edits and to the slider's value; a member, so it goes with
    // the slider.
    class BoxLink : public juce::Label::Listener, public juce::Value::Listener
    {
    public:
        explicit BoxLink(Slider_altClickReset& slider) : owner(slider) {}
        void labelTextChanged(juce::Label* label) override;
        void valueChanged(juce::Value& value) override;

    private:
        Slider_altClickReset& owner;
    };

    void releaseValueBox();
    void refreshValueBoxText(double value);
    void refreshValueBoxEditability();
    void valueBoxEdited();

    BoxLink link{*this};
    juce::Component::SafePointer<juce::Label> valueBox;
    bool valueBoxNotOwned = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(Slider_altClickReset)
};
