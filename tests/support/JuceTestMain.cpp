// Test entry point for suites that use JUCE: the framework is initialised for the whole run and
// the message loop is driven by the tests themselves (no display is needed).

#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    const juce::ScopedJuceInitialiser_GUI juce;
    return RUN_ALL_TESTS();
}
