#pragma once

// Checks of the thread rules that the headers state, made in debug builds (NDEBUG not defined): a
// broken rule prints what was broken and where on standard error and ends the process, so that a
// test run cannot miss it. Release builds check nothing.
//
//   FSUM_ASSERT(condition, "what must hold")
//   FSUM_ASSERT_MESSAGE_THREAD()     the caller is the framework's message thread (or holds its lock)
//   FSUM_ASSERT_HELD(mutex)          the caller holds the CheckedMutex

namespace thread_rules
{
// Prints the broken rule with its place and aborts.
[[noreturn]] void fail(const char* what, const char* file, int line, const char* function) noexcept;
// True on the framework's message thread, for a thread that holds its message manager's lock, and
// when no message manager exists (code that runs without the framework's event loop).
bool on_message_thread() noexcept;
} // namespace thread_rules

#ifdef NDEBUG
#define FSUM_ASSERT(condition, what) static_cast<void>(0)
#else
#define FSUM_ASSERT(condition, what)                                                                         \
    ((condition) ? static_cast<void>(0)                                                                      \
                 : ::thread_rules::fail((what), __FILE__, __LINE__, __PRETTY_FUNCTION__))
#endif

#define FSUM_ASSERT_MESSAGE_THREAD()                                                                         \
    FSUM_ASSERT(::thread_rules::on_message_thread(), "called off the message thread")
#define FSUM_ASSERT_HELD(mutex) FSUM_ASSERT((mutex).held_by_caller(), "called without " #mutex " held")
