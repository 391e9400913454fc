#pragma once

// The choice of an algorithm for a job of n tracks: the first record of a registry, in its order,
// that is enabled and whose track limits hold n. Reads the lists only (the engine's processing
// thread, tests).

#include "search/Plugin.h"

#include <vector>

namespace Flipsearch
{
// Correlation: enabled and smallest track count <= n. nullptr when none is usable.
inline Correlation::Plugin* choose_correlation(const std::vector<Correlation::Plugin*>& plugins, unsigned n)
{
    for (Correlation::Plugin* p : plugins)
        if (p->enabled() && p->min_tracks() <= n)
            return p;
    return nullptr;
}

// Search of the kind kindTag (TAG_FULL or TAG_FAST): enabled, carrying the tag and
// smallest <= n <= largest. nullptr when none is usable.
inline FlipOpt::Plugin* choose_search(const std::vector<FlipOpt::Plugin*>& plugins, unsigned n,
                                      unsigned kindTag)
{
    for (FlipOpt::Plugin* p : plugins)
        if (p->enabled() && (p->tags() & kindTag) != 0 && p->min_tracks() <= n && n <= p->max_tracks())
            return p;
    return nullptr;
}

inline Correlation::Plugin* choose_correlation(unsigned n)
{
    return choose_correlation(Factory<Correlation::Plugin>::get_inst().plugins, n);
}

inline FlipOpt::Plugin* choose_search(unsigned n, unsigned kindTag)
{
    return choose_search(Factory<FlipOpt::Plugin>::get_inst().plugins, n, kindTag);
}
} // namespace Flipsearch
