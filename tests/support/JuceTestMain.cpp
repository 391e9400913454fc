// Test entry point for suites that use JUCE: the framework is initialised for the whole run and
// the message loop is driven by the tests themselves (no display is needed).

#include "engine/Logger.h"

#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

#include <cstdio>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    const juce::ScopedJuceInitialiser_GUI juce;
    // A log file left by an earlier run in the same home folder is not this run's: the logger
    // replaces it only at this process's first written statement, and until then the tests that
    // read the log (from an offset or whole) would read the earlier run's records. No statement
    // has been written yet, so removing it leaves exactly what this run writes.
    if (logger::manager::st.load() == nullptr)
        std::remove(logger::manager::log_file_path().c_str());
    return RUN_ALL_TESTS();
}
