#include "editor/DrawableButton_withHitTest.h"

namespace
{
// Lowest alpha that still takes a hit.
constexpr juce::uint8 HIT_MIN_ALPHA = 127;
} // namespace

DrawableButton_withHitTest::DrawableButton_withHitTest(const juce::String& buttonName,
                                                       ButtonStyle buttonStyle)
    : juce::DrawableButton(buttonName, buttonStyle)
{
}

DrawableButton_withHitTest::~DrawableButton_withHitTest() = default;

bool DrawableButton_withHitTest::hitTest(int x, int y)
{
    if (const auto* const drawable = dynamic_cast<const juce::DrawableImage*>(getCurrentImage()))
    {
        const juce::Image& image = drawable->getImage();
        if (!image.isValid())
            return false;
        // A point outside the image reads as transparent.
        return image.getPixelAt(x, y).getAlpha() >= HIT_MIN_ALPHA;
    }
    return juce::Component::hitTest(x, y);
}
