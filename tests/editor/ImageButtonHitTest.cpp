// The image button's hit test: pixels of the image shown now with alpha above 126 hit, others
// and points outside the image do not; without an image the plain component test applies.

#include "editor/DrawableButton_withHitTest.h"

#include <gtest/gtest.h>

namespace
{
// A transparent 20 x 10 drawable with a few pixels of chosen alpha.
std::unique_ptr<juce::DrawableImage> key(std::initializer_list<std::tuple<int, int, juce::uint8>> pixels)
{
    juce::Image image(juce::Image::ARGB, 20, 10, true);
    for (const auto& [x, y, alpha] : pixels)
        image.setPixelAt(x, y, juce::Colours::white.withAlpha(alpha));
    auto d = std::make_unique<juce::DrawableImage>();
    d->setImage(image);
    return d;
}

struct ImageButton : ::testing::Test
{
    DrawableButton_withHitTest button{"key", juce::DrawableButton::ImageRaw};
    ImageButton() { button.setBounds(0, 0, 40, 20); }
};
} // namespace

TEST_F(ImageButton, AlphaAbove126HitsInsideTheImageOnly)
{
    const auto normal = key({{2, 2, 127}, {3, 3, 126}, {19, 9, 255}, {0, 0, 255}});
    button.setImages(normal.get());
    EXPECT_TRUE(button.hitTest(2, 2));
    EXPECT_FALSE(button.hitTest(3, 3));
    EXPECT_FALSE(button.hitTest(4, 4));
    EXPECT_TRUE(button.hitTest(19, 9));
    EXPECT_TRUE(button.hitTest(0, 0));
    EXPECT_FALSE(button.hitTest(20, 9)) << "right of the image, inside the button";
    EXPECT_FALSE(button.hitTest(19, 10)) << "below the image, inside the button";
    EXPECT_FALSE(button.hitTest(-1, 0));
}

TEST_F(ImageButton, UsesTheImageOfThePresentState)
{
    const auto normal = key({{1, 1, 255}}), down = key({{2, 2, 255}});
    const auto normalOn = key({{3, 3, 255}}), downOn = key({{4, 4, 255}});
    button.setImages(normal.get(), nullptr, down.get(), nullptr, normalOn.get(), nullptr, downOn.get());
    const auto hits = [this]
    {
        std::string s;
        for (int i = 1; i <= 4; ++i)
            s += button.hitTest(i, i) ? '1' : '0';
        return s;
    };
    EXPECT_EQ(hits(), "1000");
    button.setToggleState(true, juce::dontSendNotification);
    EXPECT_EQ(hits(), "0010");
    button.setState(juce::Button::buttonDown);
    EXPECT_EQ(hits(), "0001");
    button.setToggleState(false, juce::dontSendNotification);
    EXPECT_EQ(hits(), "0100");
}

TEST_F(ImageButton, WithoutAnImageOfPixels)
{
    EXPECT_TRUE(button.hitTest(30, 15)) << "no drawable: the plain test";

    juce::DrawablePath path;
    button.setImages(&path);
    EXPECT_TRUE(button.hitTest(30, 15)) << "another kind of drawable: the plain test";

    const juce::DrawableImage empty;
    button.setImages(&empty);
    EXPECT_FALSE(button.hitTest(0, 0)) << "an image drawable without pixels takes no hit";
}

TEST_F(ImageButton, ClicksOnTransparentPixelsGoToTheComponentBeneath)
{
    juce::Component parent;
    parent.setBounds(0, 0, 100, 100);
    parent.setVisible(true);
    parent.addAndMakeVisible(button);
    button.setTopLeftPosition(10, 10);
    const auto normal = key({{5, 5, 200}});
    button.setImages(normal.get());
    EXPECT_EQ(parent.getComponentAt(15, 15), &button);
    EXPECT_EQ(parent.getComponentAt(16, 15), &parent);
}
