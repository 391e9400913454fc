// Test entry point for suites that use JUCE: the framework is initialised for the whole run and
// the message loop is driven by the tests themselves. Components can be made and painted without a
// display; windows need one (the test scripts run the suites under Xvfb).

#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

#include <X11/Xlib.h>

namespace
{
// The framework installs its tolerant X error handler only inside a JUCE application: without a
// window manager, an X error (for example on an atom that no window manager answers) would end the
// process.
int ignore_x_error(Display*, XErrorEvent*)
{
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    XSetErrorHandler(ignore_x_error);
    const juce::ScopedJuceInitialiser_GUI juce;
    return RUN_ALL_TESTS();
}
