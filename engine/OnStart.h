#pragma once

// What runs when the plug-in is loaded and unloaded, outside any instance: the console banner,
// the algorithm listing that every new manager logs, and the unload message. The use counter is
// changed by the manager's constructor and destructor (message thread).

#include <atomic>
#include <cstdint>
#include <fstream>
#include <vector>

class OnStart
{
public:
    OnStart();
    ~OnStart();

    OnStart(const OnStart&) = delete;
    OnStart& operator=(const OnStart&) = delete;

    // Lists both algorithm registries in the log at level 2 (skipped entirely below level 2).
    static void on_start_dynamic();

    // Prints the local time and " --- Plugin unloading" on standard output.
    static void on_end_static();

    // Number of live managers (0 or 1).
    std::atomic<std::uint32_t> use_counter{0};

private:
    std::ofstream stream; // never opened
};

// The one start-up object, built when the plug-in is loaded.
extern OnStart onstart;

namespace i18n
{
// Names and descriptions of the three controls; static texts.
struct StringSetup
{
    StringSetup();
    ~StringSetup();
    std::vector<const char*> texts;
};

extern StringSetup string_setup;
} // namespace i18n
