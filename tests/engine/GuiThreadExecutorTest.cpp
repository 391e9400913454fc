// The GUI-thread executor: posts from any thread run on the message thread, in order per queue;
// the late-timer restart; the queue choice when every queue is busy; destruction.

#include "EngineTestSupport.h"

#include "engine/GuiThreadExecutor.h"

#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <pthread.h>
#include <regex>
#include <thread>
#include <vector>

using logtest::LevelScope;
using logtest::pump_until;
using namespace std::chrono_literals;

// Reaches the executor's queues.
class GuiThreadExecutorProbe
{
public:
    static GuiThreadExecutor::pimple_t& of(GuiThreadExecutor& e) { return *e.pimple; }
    // Stops the executor's timer as its own code does.
    static void stop_timer(GuiThreadExecutor& e)
    {
        e.stopTimer();
        of(e).timer_started = false;
    }
    static std::size_t queued(GuiThreadExecutor& e, int slot)
    {
        auto& s = of(e).slots[slot];
        const std::lock_guard<std::mutex> lock(s.mutex);
        return s.queue.size();
    }
};

namespace
{
const char* const POST = "void GuiThreadExecutor::pimple_t::post(std::function<void ()> &, const bool)";
const char* const CALLBACK = "virtual void GuiThreadExecutor::timerCallback()";

std::string pointer_text(pthread_t t)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "%p", reinterpret_cast<void*>(t));
    return buf;
}
} // namespace

TEST(GuiThreadExecutor, PostsFromManyThreadsAllRunOnTheMessageThread)
{
    GuiThreadExecutor executor;
    constexpr int THREADS = 6;
    constexpr int POSTS = 300;
    std::vector<std::atomic<int>> runs(THREADS * POSTS);
    std::atomic<int> total{0};
    std::atomic<int> off_thread{0};

    std::vector<std::thread> posters;
    for (int t = 0; t < THREADS; ++t)
        posters.emplace_back(
            [&, t]
            {
                for (int i = 0; i < POSTS; ++i)
                    executor.post_thread(
                        [&, k = t * POSTS + i]
                        {
                            if (!juce::MessageManager::getInstance()->isThisTheMessageThread())
                                ++off_thread;
                            ++runs[static_cast<std::size_t>(k)];
                            ++total;
                        });
            });
    for (auto& p : posters)
        p.join();
    EXPECT_EQ(total.load(), 0) << "nothing runs before the timer fires";

    ASSERT_TRUE(pump_until([&] { return total.load() == THREADS * POSTS; }));
    EXPECT_EQ(off_thread.load(), 0);
    for (const auto& r : runs)
        EXPECT_EQ(r.load(), 1);
}

TEST(GuiThreadExecutor, FunctionsOfOneQueueRunInPostOrder)
{
    GuiThreadExecutor executor;
    auto& slots = GuiThreadExecutorProbe::of(executor).slots;
    std::vector<int> order;

    // Uncontended posts all land in the first queue.
    for (int i = 0; i < 50; ++i)
        executor.post_thread([&order, i] { order.push_back(i); });
    EXPECT_EQ(GuiThreadExecutorProbe::queued(executor, 0), 50u);

    // With the first queue busy, the next posts go to the second.
    {
        const std::lock_guard<std::mutex> busy(slots[0].mutex);
        std::thread poster(
            [&]
            {
                for (int i = 50; i < 100; ++i)
                    executor.post_thread([&order, i] { order.push_back(i); });
            });
        poster.join();
    }
    EXPECT_EQ(GuiThreadExecutorProbe::queued(executor, 1), 50u);

    ASSERT_TRUE(pump_until([&] { return order.size() == 100u; }));
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
}

TEST(GuiThreadExecutor, PosterWaitsWhenEveryQueueIsBusyAndStillQueues)
{
    GuiThreadExecutor executor;
    auto& slots = GuiThreadExecutorProbe::of(executor).slots;
    std::atomic<bool> posted{false};
    std::atomic<bool> ran{false};

    std::unique_lock<std::mutex> l0(slots[0].mutex), l1(slots[1].mutex), l2(slots[2].mutex);
    std::thread poster(
        [&]
        {
            executor.post_thread([&] { ran = true; });
            posted = true;
        });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(posted.load());
    l0.unlock();
    l1.unlock();
    l2.unlock();
    poster.join();
    EXPECT_TRUE(posted.load());

    std::size_t total = 0;
    for (int s = 0; s < 3; ++s)
        total += GuiThreadExecutorProbe::queued(executor, s);
    EXPECT_EQ(total, 1u);
    EXPECT_TRUE(pump_until([&] { return ran.load(); }));
}

// Three posters hold the three queues (the test thread holds their mutexes for them): a fourth waits
// on the queue that its function object's address chooses, stays there when the others are freed
// first, and queues there. Three function objects side by side (32 bytes apart) choose each queue.
TEST(GuiThreadExecutor, PosterFacingThreeBusyQueuesWaitsOnTheOneItsAddressChooses)
{
    static_assert(sizeof(std::function<void()>) == 32, "consecutive objects choose consecutive queues");
    GuiThreadExecutor executor;
    auto& pimple = GuiThreadExecutorProbe::of(executor);
    // glibc marks a locked mutex that a thread waits for with 2 in its lock word.
    const auto waited_on = [&]
    {
        for (int s = 0; s < 3; ++s)
            if (__atomic_load_n(&pimple.slots[s].mutex.native_handle()->__data.__lock, __ATOMIC_ACQUIRE) == 2)
                return s;
        return -1;
    };

    std::function<void()> fns[3];
    for (auto& fn : fns)
    {
        fn = [] {};
        const int chosen = static_cast<int>((reinterpret_cast<std::uintptr_t>(&fn) >> 5) % 3);
        std::unique_lock<std::mutex> held[3] = {std::unique_lock<std::mutex>(pimple.slots[0].mutex),
                                                std::unique_lock<std::mutex>(pimple.slots[1].mutex),
                                                std::unique_lock<std::mutex>(pimple.slots[2].mutex)};
        std::atomic<bool> posted{false};
        std::thread poster(
            [&]
            {
                pimple.post(fn, false);
                posted = true;
            });
        const auto limit = std::chrono::steady_clock::now() + 10s;
        while (waited_on() < 0 && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(1ms);
        EXPECT_EQ(waited_on(), chosen);
        for (int s = 0; s < 3; ++s)
            if (s != chosen)
                held[s].unlock();
        EXPECT_FALSE(posted.load()) << "still waiting for queue " << chosen;
        held[chosen].unlock();
        poster.join();

        for (int s = 0; s < 3; ++s)
            EXPECT_EQ(GuiThreadExecutorProbe::queued(executor, s), s == chosen ? 1u : 0u) << "queue " << s;
        executor.timerCallback();
    }
}

TEST(GuiThreadExecutor, WaitingPostReturnsAfterItsFunctionRan)
{
    GuiThreadExecutor executor;
    std::atomic<bool> ran{false};
    std::atomic<bool> ran_before_return{false};
    std::atomic<bool> returned{false};
    std::thread poster(
        [&]
        {
            std::function<void()> fn = [&] { ran = true; };
            GuiThreadExecutorProbe::of(executor).post(fn, true);
            ran_before_return = ran.load();
            returned = true;
        });
    EXPECT_TRUE(pump_until([&] { return returned.load(); }));
    poster.join();
    EXPECT_TRUE(ran_before_return.load());
}

TEST(GuiThreadExecutor, LateTimerIsRestartedAndReported)
{
    const LevelScope level(2);
    GuiThreadExecutor executor;

    // A post right after construction is never late.
    bool first = false;
    executor.post_thread([&] { first = true; });
    EXPECT_TRUE(logtest::texts_of(POST).empty());
    ASSERT_TRUE(pump_until([&] { return first; }));

    // No callback for 450 ms: the next post restarts the timer.
    std::this_thread::sleep_for(450ms);
    bool ran = false;
    executor.post_thread([&] { ran = true; });

    const auto texts = logtest::texts_of(POST);
    ASSERT_EQ(texts.size(), 2u);
    std::smatch m;
    ASSERT_TRUE(
        std::regex_match(texts[0], m, std::regex(R"(Timer callback ([0-9.e+]+) ms late, restarting\.\.\.)")))
        << texts[0];
    const double late = std::stod(m[1]);
    EXPECT_GE(late, 249.0);
    EXPECT_LT(late, 5000.0);
    EXPECT_EQ(texts[1], "(but timer still thinks it's running!)");
    EXPECT_TRUE(executor.isTimerRunning());
    EXPECT_EQ(executor.getTimerInterval(), 200);

    ASSERT_TRUE(pump_until([&] { return ran; }));
    // The callback brought the tick up to date: no report now.
    executor.post_thread([] {});
    EXPECT_EQ(logtest::texts_of(POST).size(), 2u);

    // A stopped timer is restarted too, without the second line.
    GuiThreadExecutorProbe::stop_timer(executor);
    std::this_thread::sleep_for(450ms);
    executor.post_thread([] {});
    const auto after = logtest::texts_of(POST);
    ASSERT_EQ(after.size(), 3u);
    EXPECT_TRUE(executor.isTimerRunning());
}

TEST(GuiThreadExecutor, CallbackOnAnotherThreadWarnsAndStillRuns)
{
    const LevelScope level(2);
    GuiThreadExecutor executor;
    bool first = false;
    executor.post_thread([&] { first = true; });
    ASSERT_TRUE(pump_until([&] { return first; }));

    const pthread_t gui = pthread_self();
    pthread_t other{};
    std::atomic<bool> ran{false};
    executor.post_thread([&] { ran = true; });
    std::thread intruder(
        [&]
        {
            other = pthread_self();
            executor.timerCallback();
        });
    intruder.join();
    EXPECT_TRUE(ran.load());

    const auto texts = logtest::texts_of(CALLBACK);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0],
              "WARNING: Gui thread changed from " + pointer_text(gui) + " to " + pointer_text(other));
}

TEST(GuiThreadExecutor, QueuedFunctionsAreDroppedAtDestruction)
{
    const LevelScope level(3);
    auto sentinel = std::make_shared<int>(0);
    bool ran = false;
    {
        GuiThreadExecutor executor;
        executor.post_thread([&ran, sentinel] { ran = true; });
        EXPECT_EQ(sentinel.use_count(), 2);
    }
    EXPECT_EQ(sentinel.use_count(), 1);
    juce::MessageManager::getInstance()->runDispatchLoopUntil(300);
    EXPECT_FALSE(ran);

    const auto made = logtest::texts_of("GuiThreadExecutor::GuiThreadExecutor()");
    const auto gone = logtest::texts_of("virtual GuiThreadExecutor::~GuiThreadExecutor()");
    ASSERT_EQ(made.size(), 2u);
    ASSERT_EQ(gone.size(), 2u);
    EXPECT_EQ(made[0], "Enter");
    EXPECT_EQ(gone[0], "Enter");
}

TEST(GuiThreadExecutor, FunctionsMayPostAndThrowWithoutStoppingTheOthers)
{
    GuiThreadExecutor executor;
    std::vector<int> order;
    executor.post_thread(
        [&]
        {
            order.push_back(1);
            executor.post_thread([&] { order.push_back(3); }); // from inside a running function
        });
    executor.post_thread([] { throw std::runtime_error("posted function failed"); });
    executor.post_thread([&] { order.push_back(2); });
    ASSERT_TRUE(pump_until([&] { return order.size() == 3u; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(GuiThreadExecutor, KeepsRunningPostsAfterTheFrameworkIsShutDownAndStartedAgain)
{
    // A host closes every instance (the framework shuts down, its timer thread goes) and later
    // makes new ones without unloading the plug-in, whose executor lives on.
    GuiThreadExecutor executor;
    std::atomic<int> runs{0};
    executor.post_thread([&] { ++runs; });
    ASSERT_TRUE(pump_until([&] { return runs.load() == 1; }));

    juce::shutdownJuce_GUI();
    juce::initialiseJuce_GUI();

    // Another timer of the new session, so that a timer thread exists again.
    struct Ticker : juce::Timer
    {
        std::atomic<int> ticks{0};
        void timerCallback() override { ++ticks; }
    } other;
    other.startTimer(10);

    executor.post_thread([&] { ++runs; });
    EXPECT_TRUE(pump_until([&] { return runs.load() == 2; }));
    // The executor's restart left the other timer alone.
    const int ticks = other.ticks.load();
    EXPECT_TRUE(pump_until([&] { return other.ticks.load() > ticks + 2; }));
    other.stopTimer();
    EXPECT_TRUE(executor.isTimerRunning());
}

TEST(GuiThreadExecutor, OneProcessWideInstanceWhateverThreadAsksFirst)
{
    std::vector<GuiThreadExecutor*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = GuiThreadExecutor::get_inst(); });
    for (auto& t : threads)
        t.join();
    ASSERT_NE(seen[0], nullptr);
    for (auto* p : seen)
        EXPECT_EQ(p, seen[0]);
    EXPECT_EQ(GuiThreadExecutor::get_inst(), seen[0]);
    EXPECT_EQ(seen[0]->getTimerInterval(), 200);

    std::atomic<bool> ran{false};
    std::thread([&] { GuiThreadExecutor::get_inst()->post_thread([&] { ran = true; }); }).join();
    EXPECT_TRUE(pump_until([&] { return ran.load(); }));
}
