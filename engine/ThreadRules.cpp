#include "engine/ThreadRules.h"

#include <juce_events/juce_events.h>

#include <cstdio>
#include <cstdlib>

namespace thread_rules
{
void fail(const char* what, const char* file, const int line, const char* function) noexcept
{
    std::fprintf(stderr, "Thread rule broken: %s\n  in %s\n  at %s:%d\n", what, function, file, line);
    std::fflush(stderr);
    std::abort();
}

bool on_message_thread() noexcept
{
    const auto* const mm = juce::MessageManager::getInstanceWithoutCreating();
    return mm == nullptr || mm->isThisTheMessageThread() || mm->currentThreadHasLockedMessageManager();
}
} // namespace thread_rules
