// The control adapters: a lambda runs when its control acts, and every adapter leaves its control
// when the owner goes.

#include "EngineTestSupport.h"

#include "editor/JUCECallbackManager.h"

#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <chrono>
#include <memory>

using logtest::pump_until;

namespace
{
// Gives the message loop a moment to deliver anything still pending.
void settle()
{
    juce::MessageManager::getInstance()->runDispatchLoopUntil(50);
}
} // namespace

TEST(JUCECallbackManager, ButtonLambdaRunsOnClick)
{
    juce::TextButton button("b");
    JUCECallbackManager callbacks;
    int plain = 0;
    juce::Button* seen = nullptr;
    EXPECT_EQ(callbacks.buttonClicked(&button, [&] { ++plain; }), 0u);
    EXPECT_EQ(callbacks.buttonClicked(&button, [&](juce::Button* b) { seen = b; }), 1u);
    EXPECT_EQ(callbacks.next_callback_id, 2u);
    EXPECT_EQ(callbacks.callbacks.size(), 2u);

    button.triggerClick();
    ASSERT_TRUE(pump_until([&] { return plain == 1; }));
    EXPECT_EQ(seen, &button);

    // A toggle reads its new state in the lambda, as the editor's controls do.
    juce::ToggleButton toggle("t");
    bool on = false;
    callbacks.buttonClicked(&toggle, [&] { on = toggle.getToggleState(); });
    toggle.triggerClick();
    ASSERT_TRUE(pump_until([&] { return on; }));
}

TEST(JUCECallbackManager, SliderLambdaRunsOnValueChange)
{
    juce::Slider slider;
    slider.setRange(-20.0, 20.0, 0.1);
    JUCECallbackManager callbacks;
    double last = 0.0;
    int calls = 0;
    EXPECT_EQ(callbacks.sliderValueChanged(&slider,
                                           [&](juce::Slider* s)
                                           {
                                               last = s->getValue();
                                               ++calls;
                                           }),
              0u);
    slider.setValue(3.5, juce::sendNotificationSync);
    EXPECT_EQ(calls, 1);
    EXPECT_DOUBLE_EQ(last, 3.5);
    slider.setValue(3.5, juce::sendNotificationSync); // unchanged: no call
    EXPECT_EQ(calls, 1);
}

TEST(JUCECallbackManager, AdaptersLeaveTheirControlsWhenTheOwnerGoes)
{
    juce::TextButton button("b");
    juce::Slider slider;
    int clicks = 0;
    int changes = 0;
    {
        JUCECallbackManager callbacks;
        callbacks.buttonClicked(&button, [&] { ++clicks; });
        callbacks.sliderValueChanged(&slider, [&] { ++changes; });
        button.triggerClick();
        ASSERT_TRUE(pump_until([&] { return clicks == 1; }));
        slider.setValue(1.0, juce::sendNotificationSync);
        EXPECT_EQ(changes, 1);
    }
    // A listener left behind would be called through a dangling pointer here.
    button.triggerClick();
    settle();
    slider.setValue(2.0, juce::sendNotificationSync);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(changes, 1);

    // A click that was already on its way when the owner went reaches no adapter either.
    {
        JUCECallbackManager callbacks;
        callbacks.buttonClicked(&button, [&] { ++clicks; });
        button.triggerClick();
    }
    settle();
    EXPECT_EQ(clicks, 1);
}

TEST(JUCECallbackManager, ControlsGoneBeforeTheOwnerAreLeftAlone)
{
    auto callbacks = std::make_unique<JUCECallbackManager>();
    auto button = std::make_unique<juce::TextButton>("b");
    auto slider = std::make_unique<juce::Slider>();
    callbacks->buttonClicked(button.get(), [] {});
    callbacks->sliderValueChanged(slider.get(), [] {});
    button.reset();
    slider.reset();
    callbacks.reset(); // must not touch the destroyed controls
    SUCCEED();
}
