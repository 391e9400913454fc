#pragma once

// Runs functions posted from any thread on the GUI (message) thread. Posts are spread over three
// queues, each with its own mutex: a poster takes the first queue whose mutex is free, so posting
// almost never blocks. A 200 ms JUCE timer takes the queued functions out of the queues and runs
// them on the message thread in the order in which they were posted, whatever queue they went to,
// without holding any queue's mutex (so a running function may take other locks, for example the
// manager's, without ever nesting a queue's mutex inside them). Posts that find the timer more
// than 400 ms late restart it.
//
// Threads: post_thread from any thread; timerCallback on the message thread only (JUCE calls it).
// The process-wide instance comes from get_inst(); it lives until the plug-in is unloaded.

#include <juce_events/juce_events.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <pthread.h>

class GuiThreadExecutor : public juce::Timer
{
public:
    struct pimple_t;

    // The process-wide executor, made by the first call (any thread).
    static GuiThreadExecutor* get_inst();

    // Normally made once through get_inst(); starts the 200 ms timer.
    GuiThreadExecutor();
    // Functions still queued are dropped without running.
    ~GuiThreadExecutor() override;

    GuiThreadExecutor(const GuiThreadExecutor&) = delete;
    GuiThreadExecutor& operator=(const GuiThreadExecutor&) = delete;

    // Queues fn to run on the GUI thread at the next timer callback; the caller does not wait.
    void post_thread(std::function<void()> fn);

    // Message thread: runs every queued function.
    void timerCallback() override;

    // True when the calling thread is the GUI thread that the timer has recorded (false before the
    // first timer callback). Any thread; lock-free.
    bool is_gui_thread() const noexcept;

private:
    friend class GuiThreadExecutorProbe; // test access to the queues

    // The thread of the first timer callback; read by posters on any thread.
    std::atomic<bool> gui_thread_known{false};
    std::atomic<pthread_t> gui_thread{};
    std::unique_ptr<pimple_t> pimple;
};

// The executor's queues. Each slot's queue is guarded by its own mutex.
struct GuiThreadExecutor::pimple_t
{
    static constexpr int SLOT_COUNT = 3;

    // A posted function with its place in the order of all posts.
    struct entry_t
    {
        std::uint64_t order;
        std::function<void()> fn;
    };

    struct slot_t
    {
        std::deque<entry_t> queue;
        std::mutex mutex;
        std::condition_variable condition;
        // Completed drains of this slot (guarded by mutex); a waiting poster waits for it to move.
        std::uint64_t drains = 0;
    };

    explicit pimple_t(GuiThreadExecutor* owner_);
    ~pimple_t();

    // Any thread. Moves fn into the first free slot (blocking only when all three are busy); with
    // wait true, also waits until the timer has run that slot (never on the message thread).
    void post(std::function<void()>& fn, bool wait);

    // Message thread: takes every slot's functions and runs them in post order.
    void run_all();

    slot_t slots[SLOT_COUNT];
    GuiThreadExecutor* owner;
    // get_milliseconds() at the last timer callback.
    std::atomic<double> last_tick{0.0};
    // The order number of the next post.
    std::atomic<std::uint64_t> next_order{0};
    // Whether the owner's timer was last started (rather than stopped) here. Posters read this, not
    // the framework's timer, whose period other threads change under a lock that posters cannot take.
    std::atomic<bool> timer_started{false};

    // (Re)starts the owner's 200 ms timer and makes sure the framework's shutdown stops it.
    void start_timer();

private:
    // Deleted by the framework when it shuts down (before its timer thread, which it made
    // earlier): stops the owner's timer, which would otherwise stay registered with that dead
    // timer thread and never fire again once the framework is started anew (a host may close
    // every instance and later make new ones without unloading the plug-in).
    struct shutdown_watch_t;
    void on_framework_shutdown(const shutdown_watch_t* watch);
    std::atomic<shutdown_watch_t*> shutdown_watch{nullptr};
    // Set when the framework's shutdown stopped the timer; the next post starts it again.
    std::atomic<bool> stopped_by_shutdown{false};

    void enqueue(slot_t& slot, std::unique_lock<std::mutex>& lock, std::function<void()>& fn, bool wait);
};
