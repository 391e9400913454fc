#pragma once

// Ends the test program when the scope that made it is not left within the limit: a deadlock or a
// hang fails the run with a message instead of holding CI until its time-out.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace test_support
{
class Watchdog
{
public:
    explicit Watchdog(std::chrono::seconds limit)
        : thread(
              [this, limit]
              {
                  std::unique_lock<std::mutex> lock(mutex);
                  if (!cv.wait_for(lock, limit, [this] { return over; }))
                  {
                      std::fprintf(stderr, "Watchdog: not finished within %d s (deadlock or hang)\n",
                                   int(limit.count()));
                      std::fflush(stderr);
                      std::_Exit(3);
                  }
              })
    {
    }
    ~Watchdog()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            over = true;
        }
        cv.notify_one();
        thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex mutex;
    std::condition_variable cv;
    bool over = false;
    std::thread thread;
};
} // namespace test_support
