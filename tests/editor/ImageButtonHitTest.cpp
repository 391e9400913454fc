// The image button's hit test: opaque enough pixels of the image it shows now hit, transparent
// ones and points outside the image do not, and buttons without an image fall back to the plain
// component test.

#include "editor/DrawableButton_withHitTest.h"

#include <gtest/gtest.h>

namespace
{
// A transparent image with a few pixels of chosen alpha.
juce::Image image_with(std::initializer_list<std::tuple<int, int, juce::uint8>> pixels, int w = 20,
                       int h = 10)
{
    juce::Image image(juce::Image::ARGB, w, h, true);
    for (const auto& [x, y, alpha] : pixels)
        image.setPixelAt(x, y, juce::Colours::white.withAlpha(alpha));
    return image;
}

std::unique_ptr<juce::DrawableImage> drawable(const juce::Image& image)
{
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

TEST_F(ImageButton, AlphaAbove126Hits)
{
    const auto normal = drawable(image_with({{2, 2, 127}, {3, 3, 126}, {19, 9, 255}, {4, 4, 0}}));
    button.setImages(normal.get());
    EXPECT_TRUE(button.hitTest(2, 2));
    EXPECT_FALSE(button.hitTest(3, 3));
    EXPECT_TRUE(button.hitTest(19, 9));
    EXPECT_FALSE(button.hitTest(4, 4));
}

TEST_F(ImageButton, PointsOutsideTheImageDoNotHit)
{
    const auto normal = drawable(image_with({{19, 9, 255}, {0, 0, 255}}));
    button.setImages(normal.get());
    EXPECT_FALSE(button.hitTest(20, 9)) << "right of the image, inside the button";
    EXPECT_FALSE(button.hitTest(19, 10)) << "below the image, inside the button";
    EXPECT_FALSE(button.hitTest(-1, 0));
    EXPECT_FALSE(button.hitTest(0, -1));
    EXPECT_TRUE(button.hitTest(0, 0));
}

TEST_F(ImageButton, UsesTheImageOfThePresentState)
{
    const auto normal = drawable(image_with({{1, 1, 255}}));
    const auto down = drawable(image_with({{2, 2, 255}}));
    const auto normalOn = drawable(image_with({{3, 3, 255}}));
    const auto downOn = drawable(image_with({{4, 4, 255}}));
    button.setImages(normal.get(), nullptr, down.get(), nullptr, normalOn.get(), nullptr, downOn.get());

    EXPECT_TRUE(button.hitTest(1, 1));
    EXPECT_FALSE(button.hitTest(3, 3));

    button.setToggleState(true, juce::dontSendNotification);
    EXPECT_FALSE(button.hitTest(1, 1));
    EXPECT_TRUE(button.hitTest(3, 3));

    button.setState(juce::Button::buttonDown);
    EXPECT_TRUE(button.hitTest(4, 4));
    EXPECT_FALSE(button.hitTest(3, 3));

    button.setToggleState(false, juce::dontSendNotification);
    EXPECT_TRUE(button.hitTest(2, 2));
    EXPECT_FALSE(button.hitTest(1, 1));
}

TEST_F(ImageButton, AnImageWithoutPixelsTakesNoHit)
{
    const auto empty = std::make_unique<juce::DrawableImage>();
    button.setImages(empty.get());
    EXPECT_FALSE(button.hitTest(0, 0));
    EXPECT_FALSE(button.hitTest(10, 5));
}

TEST_F(ImageButton, OtherDrawablesAndNoDrawableUseThePlainTest)
{
    EXPECT_TRUE(button.hitTest(30, 15)) << "no images at all";

    juce::DrawablePath path;
    juce::Path shape;
    shape.addRectangle(0.0f, 0.0f, 2.0f, 2.0f);
    path.setPath(shape);
    button.setImages(&path);
    EXPECT_TRUE(button.hitTest(30, 15));
}

TEST_F(ImageButton, ClicksOnTransparentPixelsGoToTheComponentBeneath)
{
    juce::Component parent;
    parent.setBounds(0, 0, 100, 100);
    parent.setVisible(true);
    parent.addAndMakeVisible(button);
    button.setTopLeftPosition(10, 10);
    const auto normal = drawable(image_with({{5, 5, 200}}));
    button.setImages(normal.get());

    EXPECT_EQ(parent.getComponentAt(15, 15), &button);
    EXPECT_EQ(parent.getComponentAt(16, 15), &parent);
    EXPECT_EQ(parent.getComponentAt(10, 10), &parent);
}
