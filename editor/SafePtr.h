#pragma once

// A guarded back-pointer. An object that derives from util::enable_safe_ptr<T> hands out
// util::safe_ptr<T> handles that may be copied to any thread; a job turns its handle into a
// util::locked_safe_ptr<T> for the time it uses the object. The object's destructor calls
// safe_destruct() first: it waits until no holder is left, and from then on every new holder
// gets a null pointer. A thread must not destroy the object while it holds it itself.

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>

namespace util
{
template <class T>
class enable_safe_ptr;
template <class T>
class locked_safe_ptr;

// A copyable handle to a guarded object; it holds the shared state and nothing else.
template <class T>
class safe_ptr
{
public:
    struct pointer_state_t
    {
        explicit pointer_state_t(T* p) noexcept : pointer(p) {}

        T* pointer;                        // null after safe_destruct
        std::mutex mutex;                  // guards use_count and the change of pointer to null
        std::condition_variable condition; // signalled when use_count falls to 0
        std::size_t use_count = 0;         // live holders that raised it
    };

    safe_ptr() noexcept = default;
    explicit safe_ptr(std::shared_ptr<pointer_state_t> state_) noexcept : state(std::move(state_)) {}

    // True for a handle on some object (alive or gone); false for an empty handle.
    bool valid() const noexcept { return state != nullptr; }
    // True when both handles are on the same object, or both are empty.
    bool same_object(const safe_ptr& other) const noexcept { return state == other.state; }

private:
    friend class locked_safe_ptr<T>;
    std::shared_ptr<pointer_state_t> state;
};

// Base of a guarded object. The object passes itself to this constructor and calls safe_destruct()
// as the first step of its own destructor (message thread).
template <class T>
class enable_safe_ptr
{
public:
    using state_t = typename safe_ptr<T>::pointer_state_t;

    explicit enable_safe_ptr(T* self) : state(std::make_shared<state_t>(self)) {}

    // A fallback only: by now the derived object's members are gone.
    ~enable_safe_ptr() { safe_destruct(); }

    enable_safe_ptr(const enable_safe_ptr&) = delete;
    enable_safe_ptr& operator=(const enable_safe_ptr&) = delete;

    // A new handle; its lock fails once safe_destruct() has stopped waiting. Any thread, also
    // while safe_destruct() runs on another: the shared pointer itself never changes.
    safe_ptr<T> get_safe_ptr() const { return safe_ptr<T>(state); }

    // Waits until no holder uses the object, then makes every later lock fail. The state itself
    // stays with the object until this base goes (and with the handles after that), so that a
    // handle copied meanwhile on another thread reads an unchanging shared pointer.
    void safe_destruct()
    {
        std::unique_lock<std::mutex> lock(state->mutex);
        state->condition.wait(lock, [this] { return state->use_count == 0; });
        state->pointer = nullptr;
    }

private:
    const std::shared_ptr<state_t> state;
};

// Holds a guarded object for a job's duration; get() is null when the object is gone.
template <class T>
class locked_safe_ptr
{
public:
    explicit locked_safe_ptr(const safe_ptr<T>& handle) : state(handle.state)
    {
        if (!state)
            return;
        const std::lock_guard<std::mutex> lock(state->mutex);
        if (state->pointer != nullptr)
        {
            ++state->use_count;
            pointer = state->pointer;
        }
    }

    ~locked_safe_ptr()
    {
        if (pointer != nullptr)
        {
            const std::lock_guard<std::mutex> lock(state->mutex);
            if (--state->use_count == 0)
                state->condition.notify_one();
        }
    }

    locked_safe_ptr(const locked_safe_ptr&) = delete;
    locked_safe_ptr& operator=(const locked_safe_ptr&) = delete;

    T* get() const noexcept { return pointer; }
    T* operator->() const noexcept { return pointer; }
    explicit operator bool() const noexcept { return pointer != nullptr; }

private:
    std::shared_ptr<typename safe_ptr<T>::pointer_state_t> state;
    T* pointer = nullptr; // non-null exactly when this holder raised the count
};

// Calls f with the guarded object, holding it meanwhile; does nothing when the handle is empty or
// the object is gone.
template <class T, class F>
void with_locked(const safe_ptr<T>& handle, F&& f)
{
    const locked_safe_ptr<T> held(handle);
    if (held)
        f(*held.get());
}
} // namespace util
