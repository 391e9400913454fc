#pragma once

// A std::mutex that, in debug builds, knows which thread holds it, so that a function that must be
// called with it held can check that (FSUM_ASSERT_HELD). A BasicLockable: use it with
// std::lock_guard and std::unique_lock, and wait on a std::condition_variable through wait_for.
// Release builds keep nothing beside the mutex.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class CheckedMutex
{
public:
    CheckedMutex() = default;
    CheckedMutex(const CheckedMutex&) = delete;
    CheckedMutex& operator=(const CheckedMutex&) = delete;

    void lock()
    {
        mutex_.lock();
        note_owner();
    }
    bool try_lock()
    {
        if (!mutex_.try_lock())
            return false;
        note_owner();
        return true;
    }
    void unlock()
    {
        clear_owner();
        mutex_.unlock();
    }

    // Whether the calling thread holds the mutex; always true in release builds.
    bool held_by_caller() const noexcept
    {
#ifdef NDEBUG
        return true;
#else
        return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
#endif
    }

    // Waits on cv for at most timeout with the mutex, which lock holds, released meanwhile.
    template <class Rep, class Period>
    std::cv_status wait_for(std::condition_variable& cv, std::unique_lock<CheckedMutex>& lock,
                            const std::chrono::duration<Rep, Period>& timeout)
    {
        (void)lock; // held by the caller: the mutex is handed to the condition variable meanwhile
        std::unique_lock<std::mutex> inner(mutex_, std::adopt_lock);
        clear_owner();
        const std::cv_status status = cv.wait_for(inner, timeout);
        note_owner();
        inner.release();
        return status;
    }

    std::mutex::native_handle_type native_handle()
    {
        return mutex_.native_handle();
    }

private:
    void note_owner() noexcept
    {
#ifndef NDEBUG
        owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
#endif
    }
    void clear_owner() noexcept
    {
#ifndef NDEBUG
        owner_.store(std::thread::id(), std::memory_order_relaxed);
#endif
    }

    std::mutex mutex_;
#ifndef NDEBUG
    std::atomic<std::thread::id> owner_{};
#endif
};
