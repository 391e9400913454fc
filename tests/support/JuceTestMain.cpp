// Test entry point for suites that use JUCE: the framework is initialised for the whole run and
// the message loop is driven by the tests themselves. Components can be made and painted without a
// display; windows need one (the test scripts run the suites under Xvfb).

#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

#include <X11/Xlib.h>

#if SIGNFLUX_TEST_LINKS_ENGINE
#include "engine/Logger.h"

#include <cstdio>
#endif

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
#if SIGNFLUX_TEST_LINKS_ENGINE
    // A log file left by an earlier run in the same home folder is not this run's: the logger
    // replaces it only at this process's first written statement, and until then the tests that
    // read the log (from an offset or whole) would read the earlier run's records. No statement
    // has been written yet, so removing it leaves exactly what this run writes.
    if (logger::manager::st.load() == nullptr)
        std::remove(logger::manager::log_file_path().c_str());
#endif
    return RUN_ALL_TESTS();
}
