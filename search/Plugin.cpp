#include "search/Plugin.h"

namespace Flipsearch
{
std::string tagNameCommon(unsigned tag)
{
    if (tag & TAG_MULTICORE)
        return "Uses multiple cores/processors";
    if (tag & TAG_SSE2)
        return "Uses SSE2";
    if (tag & TAG_AVX)
        return "Uses AVX";
    return {};
}

namespace FlipOpt
{
std::string FlipOptExtras::tagName(unsigned tag) const
{
    if (tag & TAG_FULL)
        return "Full-search algorithm";
    if (tag & TAG_FAST)
        return "Fast-search algorithm";
    return {};
}
} // namespace FlipOpt
} // namespace Flipsearch
