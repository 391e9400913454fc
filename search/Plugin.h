#pragma once

// The algorithm registry: plug-in records that announce every correlation and search algorithm,
// and one process-wide registry per kind that keeps them in descending priority.
//
// The registries have no lock: records register and unregister only during static construction
// and destruction; in between the lists are only read (engine's processing thread, load hook).

#include "search/CorrelationAlgorithm.h"
#include "search/FlipOptAlgorithm.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace Flipsearch
{
// Tag bits of a record; tags() is their sum.
enum : unsigned
{
    TAG_SSE2 = 1,
    TAG_AVX = 2,
    TAG_MULTICORE = 4,
    TAG_FULL = 8,
    TAG_FAST = 16
};

// Static records register in this order (lower first) whatever the link order of their units.
// init_priority values below 101 are reserved for the implementation.
#define FLIPSEARCH_INIT_ORDER(n) __attribute__((init_priority(1000 + (n))))

namespace details_
{
// The extras of the correlation kind: nothing.
struct empty_t
{
};
} // namespace details_

namespace FlipOpt
{
// The extras of the search kind: the largest track count the algorithm accepts.
class FlipOptExtras
{
public:
    explicit FlipOptExtras(unsigned maxTracks) : maxTracks_(maxTracks) {}
    virtual ~FlipOptExtras() = default;

    virtual unsigned max_tracks() const { return maxTracks_; }
    // "Full-search algorithm" for bit 8, else "Fast-search algorithm" for bit 16, else empty.
    virtual std::string tagName(unsigned tag) const;

private:
    std::uint32_t maxTracks_;
};
} // namespace FlipOpt

std::string tagNameCommon(unsigned tag);

// The abstract plug-in record of one algorithm of kind A.
template <class A, class Extras>
class Plugin : public Extras
{
public:
    using algorithm_t = A;
    using Extras::Extras;

    virtual ~Plugin() = default;

    // Text of the first set bit tested in the order 4, 1, 2, then (search kind) 8, 16.
    virtual std::string tagName(unsigned tag) const
    {
        std::string text = tagNameCommon(tag);
        if constexpr (std::is_same_v<Extras, FlipOpt::FlipOptExtras>)
        {
            if (text.empty())
                text = Extras::tagName(tag);
        }
        return text;
    }

    virtual std::string name() const = 0;
    virtual std::string description() const = 0;
    virtual bool enabled() const = 0;
    virtual std::string disableReason() const = 0;
    virtual int priority() const = 0;
    virtual unsigned min_tracks() const = 0;
    virtual unsigned tags() const = 0;
    virtual std::shared_ptr<A> getInstance() const = 0;
};

namespace Correlation
{
using Plugin = Flipsearch::Plugin<Algorithm, details_::empty_t>;
}

namespace FlipOpt
{
using Plugin = Flipsearch::Plugin<Algorithm, FlipOptExtras>;
}

// The registry of one kind. It does not own the records: they are static objects.
template <class P>
class Factory
{
public:
    // Descending priority; records of equal priority stand in reverse order of registration.
    std::vector<P*> plugins;

    static Factory& get_inst()
    {
        static Factory inst;
        return inst;
    }

    static void reg(P* p) { get_inst().reg_internal(p); }
    static void unreg(P* p) { get_inst().unreg_internal(p); }

    // Inserts p before the first entry whose priority is less than or equal to p's.
    void reg_internal(P* p)
    {
        auto it = plugins.begin();
        while (it != plugins.end() && (*it)->priority() > p->priority())
            ++it;
        plugins.insert(it, p);
    }

    // Removes the first entry equal to p; an unlisted pointer changes nothing.
    void unreg_internal(P* p)
    {
        for (auto it = plugins.begin(); it != plugins.end(); ++it)
        {
            if (*it == p)
            {
                plugins.erase(it);
                return;
            }
        }
    }
};

// The record of a built-in algorithm class Impl; always enabled.
template <class Impl, class P>
class PluginHelper : public P
{
public:
    using A = typename P::algorithm_t;

    // Search kind: pass the largest track count as the last argument.
    template <class... ExtraArgs>
    PluginHelper(std::string name, std::string description, unsigned tags, unsigned minTracks, int priority,
                 ExtraArgs... extras)
        : P(extras...), name_(std::move(name)), description_(std::move(description)), tags_(tags),
          minTracks_(minTracks), priority_(priority)
    {
        Factory<P>::get_inst().reg_internal(this);
    }

    ~PluginHelper() override { Factory<P>::get_inst().unreg_internal(this); }

    PluginHelper(const PluginHelper&) = delete;
    PluginHelper& operator=(const PluginHelper&) = delete;

    std::string name() const override { return name_; }
    std::string description() const override { return description_; }
    bool enabled() const override { return enabled_; }
    std::string disableReason() const override { return disableReason_; }
    int priority() const override { return priority_; }
    unsigned min_tracks() const override { return minTracks_; }
    unsigned tags() const override { return tags_; }
    std::shared_ptr<A> getInstance() const override { return std::shared_ptr<A>(new Impl()); }

private:
    std::string name_;
    std::string description_;
    std::uint32_t tags_;
    std::uint32_t minTracks_;
    bool enabled_ = true;
    std::string disableReason_;
    std::int32_t priority_;
};

// The record of an algorithm made by a factory function and gated by a processor test.
template <class P>
class PluginHelper2 : public P
{
public:
    using A = typename P::algorithm_t;

    template <class ShouldEnable, class... ExtraArgs>
    PluginHelper2(const std::string& name, const std::string& description,
                  const std::function<std::shared_ptr<A>()>& factory, unsigned tags, unsigned min_tracks,
                  int priority, ShouldEnable should_enable, ExtraArgs... extras)
        : P(extras...), name_(name), description_(description), factory_(factory), tags_(tags),
          minTracks_(min_tracks), priority_(priority)
    {
        enabled_ = should_enable(disableReason_);
        Factory<P>::reg(this);
    }

    ~PluginHelper2() override { Factory<P>::unreg(this); }

    PluginHelper2(const PluginHelper2&) = delete;
    PluginHelper2& operator=(const PluginHelper2&) = delete;

    std::string name() const override { return name_; }
    std::string description() const override { return description_; }
    bool enabled() const override { return enabled_; }
    std::string disableReason() const override { return disableReason_; }
    int priority() const override { return priority_; }
    unsigned min_tracks() const override { return minTracks_; }
    unsigned tags() const override { return tags_; }
    // An empty factory throws std::bad_function_call.
    std::shared_ptr<A> getInstance() const override { return factory_(); }

private:
    std::string name_;
    std::string description_;
    std::function<std::shared_ptr<A>()> factory_;
    std::uint32_t tags_;
    std::uint32_t minTracks_;
    bool enabled_ = false;
    std::string disableReason_;
    std::int32_t priority_;
};
} // namespace Flipsearch
