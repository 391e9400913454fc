// The guarded back-pointer: jobs reach the object only while it exists, and its destruction waits
// for every job that holds it.

#include "editor/SafePtr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace
{
class Guarded : public util::enable_safe_ptr<Guarded>
{
public:
    explicit Guarded(std::atomic<bool>* destroyed_ = nullptr)
        : util::enable_safe_ptr<Guarded>(this), destroyed(destroyed_)
    {
    }

    ~Guarded()
    {
        safe_destruct();
        alive = false;
        if (destroyed != nullptr)
            *destroyed = true;
    }

    std::atomic<bool> alive{true};
    std::atomic<int> uses{0};
    std::atomic<bool>* destroyed;
};

// Polls until done() holds or ten seconds have passed; returns done(). Every wait of these tests is
// bounded and their threads assert nothing (they record, the test thread asserts), so a fault
// fails the test instead of hanging it.
template <class Done>
bool eventually(Done done)
{
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!done())
    {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::yield();
    }
    return true;
}

// A job as the editor's setters make them: it captures a handle and locks it when it runs.
std::function<void()> make_job(const util::safe_ptr<Guarded>& handle, std::atomic<int>& did_nothing)
{
    return [handle, &did_nothing]
    {
        const util::locked_safe_ptr<Guarded> locked(handle);
        if (!locked)
        {
            ++did_nothing;
            return;
        }
        ++locked->uses;
    };
}
} // namespace

TEST(SafePtr, JobsReachTheObjectOnlyWhileItExists)
{
    std::atomic<int> did_nothing{0};
    auto object = std::make_unique<Guarded>();
    const auto job = make_job(object->get_safe_ptr(), did_nothing);
    job();
    job();
    EXPECT_EQ(object->uses.load(), 2);
    EXPECT_EQ(did_nothing.load(), 0);

    object.reset();
    job(); // queued before the object went, run after: does nothing
    EXPECT_EQ(did_nothing.load(), 1);

    const util::safe_ptr<Guarded> empty;
    const util::locked_safe_ptr<Guarded> none(empty);
    EXPECT_EQ(none.get(), nullptr);
}

TEST(SafePtr, DestructionWaitsForTheJobThatHoldsTheObject)
{
    std::atomic<bool> destroyed{false};
    auto object = std::make_unique<Guarded>(&destroyed);
    const auto handle = object->get_safe_ptr();

    std::atomic<bool> holding{false};
    std::atomic<bool> got_it{false};
    std::atomic<bool> job_finished{false};
    std::atomic<bool> destroyed_while_held{false};
    std::thread job(
        [&]
        {
            const util::locked_safe_ptr<Guarded> locked(handle);
            got_it = static_cast<bool>(locked);
            holding = true;
            if (!locked)
                return;
            std::this_thread::sleep_for(150ms);
            destroyed_while_held = destroyed.load() || !locked->alive.load();
            job_finished = true;
        });
    EXPECT_TRUE(eventually([&] { return holding.load(); }));
    EXPECT_TRUE(got_it.load());
    if (got_it.load())
    {
        object.reset(); // must wait for the job
        EXPECT_TRUE(job_finished.load());
    }
    job.join();
    EXPECT_FALSE(destroyed_while_held.load());

    const util::locked_safe_ptr<Guarded> late(handle);
    EXPECT_FALSE(late);
}

TEST(SafePtr, ManyThreadsLockingWhileTheObjectGoesNeverSeeItDead)
{
    std::atomic<bool> destroyed{false};
    auto object = std::make_unique<Guarded>(&destroyed);
    const auto handle = object->get_safe_ptr();
    std::atomic<bool> stop{false};
    std::atomic<int> saw_dead{0};
    std::atomic<int> locked_ok{0};
    std::atomic<int> refused{0};

    std::vector<std::thread> jobs;
    for (int t = 0; t < 6; ++t)
        jobs.emplace_back(
            [&]
            {
                while (!stop)
                {
                    const util::locked_safe_ptr<Guarded> locked(handle);
                    if (locked)
                    {
                        ++locked_ok;
                        if (!locked->alive.load() || destroyed.load())
                            ++saw_dead;
                    }
                    else
                        ++refused;
                }
            });
    EXPECT_TRUE(eventually([&] { return locked_ok.load() >= 1000; }));
    object.reset();
    EXPECT_TRUE(eventually([&] { return refused.load() >= 1000; }));
    stop = true;
    for (auto& j : jobs)
        j.join();
    EXPECT_EQ(saw_dead.load(), 0);
}

TEST(SafePtr, HandlesTakenOnAnotherThreadWhileTheObjectGoes)
{
    // The editor's setters copy a handle on whatever thread calls them, possibly while the
    // editor's destructor runs safe_destruct() on the message thread.
    Guarded object;
    std::atomic<bool> started{false};
    std::atomic<int> refused{0};
    std::thread taker(
        [&]
        {
            const auto end = std::chrono::steady_clock::now() + 10s;
            while (refused.load() < 100 && std::chrono::steady_clock::now() < end)
            {
                const util::locked_safe_ptr<Guarded> locked(object.get_safe_ptr());
                started = true;
                if (!locked)
                    ++refused;
            }
        });
    EXPECT_TRUE(eventually([&] { return started.load(); }));
    object.safe_destruct();
    taker.join();
    EXPECT_EQ(refused.load(), 100);
    EXPECT_FALSE(util::locked_safe_ptr<Guarded>(object.get_safe_ptr()));
}
