#include "engine/GuiThreadExecutor.h"

#include "engine/Logger.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <vector>

namespace
{
// Steady-clock milliseconds since this function's first call.
double get_milliseconds()
{
    using clock = std::chrono::steady_clock;
    static const clock::time_point origin = clock::now();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(clock::now() - origin);
    return static_cast<double>(ns.count()) / 1000000.0;
}

// Set while the calling thread runs posted functions: a function that posts with wait must not
// wait for itself.
thread_local const GuiThreadExecutor::pimple_t* tls_draining = nullptr;

constexpr double TIMER_PERIOD_MS = 200.0;
constexpr double LATE_LIMIT_MS = 400.0;
} // namespace

GuiThreadExecutor::pimple_t::pimple_t(GuiThreadExecutor* owner_) : owner(owner_)
{
    // The clock starts with the first executor, so a post made before its first timer callback is
    // not taken for a late timer; a later executor starts from its own construction.
    last_tick.store(get_milliseconds(), std::memory_order_relaxed);
}

struct GuiThreadExecutor::pimple_t::shutdown_watch_t : juce::DeletedAtShutdown
{
    explicit shutdown_watch_t(pimple_t& p) : pimple(p) {}
    ~shutdown_watch_t() override { pimple.on_framework_shutdown(this); }
    shutdown_watch_t(const shutdown_watch_t&) = delete;
    shutdown_watch_t& operator=(const shutdown_watch_t&) = delete;

    pimple_t& pimple;
};

GuiThreadExecutor::pimple_t::~pimple_t()
{
    delete shutdown_watch.exchange(nullptr);
}

void GuiThreadExecutor::pimple_t::start_timer()
{
    owner->stopTimer();
    owner->startTimer(static_cast<int>(TIMER_PERIOD_MS));
    timer_started.store(true, std::memory_order_relaxed);
    stopped_by_shutdown.store(false, std::memory_order_relaxed);
    // Made after the start, which makes the framework's timer thread when there is none, so that
    // the framework deletes the watch first.
    if (shutdown_watch.load() != nullptr)
        return;
    auto watch = std::make_unique<shutdown_watch_t>(*this);
    shutdown_watch_t* expected = nullptr;
    if (shutdown_watch.compare_exchange_strong(expected, watch.get()))
        watch.release(); // the framework's from now on
}

void GuiThreadExecutor::pimple_t::on_framework_shutdown(const shutdown_watch_t* watch)
{
    shutdown_watch_t* expected = const_cast<shutdown_watch_t*>(watch);
    // Not the current watch: a spare one made by a racing start, or the private part is going.
    if (!shutdown_watch.compare_exchange_strong(expected, nullptr))
        return;
    // Message thread, during the framework's shutdown. The next session may run its message loop
    // on another thread.
    owner->stopTimer();
    timer_started.store(false, std::memory_order_relaxed);
    stopped_by_shutdown.store(true, std::memory_order_relaxed);
    owner->gui_thread_known.store(false, std::memory_order_release);
}

void GuiThreadExecutor::pimple_t::enqueue(slot_t& slot, std::unique_lock<std::mutex>& lock,
                                          std::function<void()>& fn, const bool wait)
{
    slot.queue.push_back({next_order.fetch_add(1, std::memory_order_relaxed), std::move(fn)});
    if (!wait)
        return;
    // Waiting on the message thread (or inside a drained function) would wait for itself.
    if (tls_draining != nullptr || juce::MessageManager::existsAndIsCurrentThread())
        return;
    const std::uint64_t drains = slot.drains;
    slot.condition.wait(lock, [&slot, drains] { return slot.drains != drains; });
}

void GuiThreadExecutor::pimple_t::post(std::function<void()>& fn, const bool wait)
{
    FSUM_SIGNATURE("void GuiThreadExecutor::pimple_t::post(std::function<void ()> &, const bool)");
    const double late = get_milliseconds() - last_tick.load(std::memory_order_relaxed);
    if (late > LATE_LIMIT_MS)
    {
        {
            logger::log out(2, fsum_signature(__PRETTY_FUNCTION__));
            out << "Timer callback " << (late - TIMER_PERIOD_MS) << " ms late, restarting...";
            if (timer_started.load(std::memory_order_relaxed))
                out << "\n(but timer still thinks it's running!)";
        }
        start_timer();
    }
    else if (stopped_by_shutdown.load(std::memory_order_relaxed))
    {
        // Stopped by the framework's shutdown, and the framework has been started anew since.
        start_timer();
    }

    for (auto& slot : slots)
    {
        std::unique_lock<std::mutex> lock(slot.mutex, std::try_to_lock);
        if (lock.owns_lock())
        {
            enqueue(slot, lock, fn, wait);
            return;
        }
    }

    const int chosen = static_cast<int>((reinterpret_cast<std::uintptr_t>(&fn) >> 5) % SLOT_COUNT);
    std::unique_lock<std::mutex> lock(slots[chosen].mutex);
    enqueue(slots[chosen], lock, fn, wait);
}

void GuiThreadExecutor::pimple_t::run_all()
{
    // Take every slot's functions while holding all three mutexes at once (posters hold one at a
    // time, briefly): every post is then either wholly before the cut or wholly after it, so what
    // is taken now was posted before all that is left for the next tick.
    std::vector<entry_t> batch;
    {
        const std::scoped_lock all(slots[0].mutex, slots[1].mutex, slots[2].mutex);
        for (auto& slot : slots)
        {
            for (auto& entry : slot.queue)
                batch.push_back(std::move(entry));
            slot.queue.clear();
        }
    }

    // Run them in post order, holding no slot's mutex.
    std::sort(batch.begin(), batch.end(),
              [](const entry_t& a, const entry_t& b) { return a.order < b.order; });
    const auto* const previous = tls_draining;
    tls_draining = this;
    for (auto& entry : batch)
    {
        try
        {
            entry.fn();
        }
        catch (const std::exception& e)
        {
            FSUM_LOG(2) << "Exception! " << logger::exception_type_name(e) << ": " << e.what();
        }
        catch (...)
        {
            FSUM_LOG(2) << "Exception! (unknown type)";
        }
        entry.fn = nullptr; // what the function holds goes now, on this thread
    }
    tls_draining = previous;

    // Posters waiting for their function learn that it ran.
    for (auto& slot : slots)
    {
        const std::lock_guard<std::mutex> lock(slot.mutex);
        ++slot.drains;
        slot.condition.notify_all();
    }
}

GuiThreadExecutor* GuiThreadExecutor::get_inst()
{
    FSUM_LOG_GUARD(7);
    static const std::unique_ptr<GuiThreadExecutor> ptr = std::make_unique<GuiThreadExecutor>();
    return ptr.get();
}

GuiThreadExecutor::GuiThreadExecutor()
{
    FSUM_LOG_GUARD(3);
    pimple = std::make_unique<pimple_t>(this);
    pimple->start_timer();
}

GuiThreadExecutor::~GuiThreadExecutor()
{
    FSUM_LOG_GUARD(3);
    // Stopped first, so that no callback starts while the queues go.
    stopTimer();
    pimple.reset();
}

void GuiThreadExecutor::post_thread(std::function<void()> fn)
{
    FSUM_LOG_GUARD(7);
    FSUM_LOG(8) << "Args: this=0x" << logger::hex(this) << ", fn=" << (fn ? "set" : "empty");
    if (!fn)
        return;
    pimple->post(fn, false);
}

bool GuiThreadExecutor::is_gui_thread() const noexcept
{
    return gui_thread_known.load(std::memory_order_acquire) &&
           pthread_equal(gui_thread.load(std::memory_order_relaxed), pthread_self()) != 0;
}

void GuiThreadExecutor::timerCallback()
{
    FSUM_LOG_GUARD(7);
    pimple->last_tick.store(get_milliseconds(), std::memory_order_relaxed);

    const pthread_t self = pthread_self();
    if (!gui_thread_known.load(std::memory_order_acquire))
    {
        gui_thread.store(self, std::memory_order_relaxed);
        gui_thread_known.store(true, std::memory_order_release);
    }
    else if (const pthread_t known = gui_thread.load(std::memory_order_relaxed);
             pthread_equal(known, self) == 0)
    {
        FSUM_LOG(2) << "WARNING: Gui thread changed from " << reinterpret_cast<void*>(known) << " to "
                    << reinterpret_cast<void*>(self);
    }

    pimple->run_all();
}
