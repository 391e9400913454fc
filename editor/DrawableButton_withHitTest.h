#pragma once

// An image button that takes a mouse hit only where the image it shows now is opaque enough
// (alpha above 126), so clicks on its transparent margins go to what lies beneath. The image is
// expected at its own size at the button's top left (ImageRaw). Message thread only.

#include <juce_gui_basics/juce_gui_basics.h>

class DrawableButton_withHitTest : public juce::DrawableButton
{
public:
    DrawableButton_withHitTest(const juce::String& buttonName, ButtonStyle buttonStyle);
    ~DrawableButton_withHitTest() override;

    bool hitTest(int x, int y) override;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(DrawableButton_withHitTest)
};
