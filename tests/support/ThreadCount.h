#pragma once

// The number of threads the test process runs (Linux: the entries of /proc/self/task). A thread's
// entry can outlive its join for a moment on a busy machine, so the counts that a test compares
// are taken once the number has settled.

#include <dirent.h>

#include <chrono>
#include <thread>

namespace test_support
{
inline unsigned running_threads()
{
    unsigned count = 0;
    if (DIR* dir = opendir("/proc/self/task"))
    {
        while (dirent* e = readdir(dir))
            if (e->d_name[0] != '.')
                ++count;
        closedir(dir);
    }
    return count;
}

// The number of threads once it has stayed the same for 100 ms (read every millisecond, for 5 s
// at most): threads joined just before have left by then.
inline unsigned settled_threads()
{
    using clock = std::chrono::steady_clock;
    const auto give_up = clock::now() + std::chrono::seconds(5);
    unsigned count = running_threads();
    auto since = clock::now();
    while (clock::now() - since < std::chrono::milliseconds(100) && clock::now() < give_up)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const unsigned now = running_threads();
        if (now != count)
        {
            count = now;
            since = clock::now();
        }
    }
    return count;
}

// The number of threads once it is down to at most `expected`, or after 5 s: a thread left behind
// keeps it above.
inline unsigned threads_down_to(const unsigned expected)
{
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    unsigned count = running_threads();
    while (count > expected && std::chrono::steady_clock::now() < give_up)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        count = running_threads();
    }
    return count;
}
} // namespace test_support
